// Opens the code built for one vector width: KORVEX_LANES_WIDE 1 for AVX-512, 0 for AVX2.
// Everything up to lanes_end.h is compiled for that instruction set, in the namespace avx512 or
// avx2 of korvex::kernels, with the lane operations of lanes.h. A file includes its headers
// before this, so that no inline function of a shared header is built for a wider set than the
// baseline (the linker keeps one copy of each, which every caller would run). No include guard:
// a body included once per width sits between this and lanes_end.h each time.
#if !defined(KORVEX_LANES_WIDE)
#error "define KORVEX_LANES_WIDE before including lanes_begin.h"
#endif

#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "kernels/cpu/isa.h"

#pragma GCC push_options
#if KORVEX_LANES_WIDE
#pragma GCC target("avx512f,avx512dq,avx512vl,avx2,fma,bmi,bmi2")
#define KORVEX_LANES_NS avx512
#else
#pragma GCC target("avx2,fma,bmi,bmi2")
#define KORVEX_LANES_NS avx2
#endif
KORVEX_INTRINSICS_BEGIN

namespace korvex::kernels::KORVEX_LANES_NS {

#include "kernels/cpu/lanes.h"
