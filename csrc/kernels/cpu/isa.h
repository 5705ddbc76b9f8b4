// Inner loops built more than once from one inline body: for the build's baseline, and for
// AVX2 and AVX-512 where the CPU has them (widest_build), which the compiler vectorises from the
// same code. Loops written in vector lanes are built per width between lanes_begin.h and
// lanes_end.h.
#pragma once

#define KORVEX_ALWAYS_INLINE inline __attribute__((always_inline))
#define KORVEX_AVX512 __attribute__((target("avx512f,avx512dq,avx512vl,avx2")))
#define KORVEX_AVX2 __attribute__((target("avx2,fma,bmi,bmi2")))

#include <immintrin.h>

#include <cstdint>

// Around hand-written vector code: GCC 12 reports the undefined register some intrinsics
// start from as (possibly) uninitialised once they are inlined (its bug 105593).
#define KORVEX_INTRINSICS_BEGIN                                                          \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"") \
      _Pragma("GCC diagnostic ignored \"-Wuninitialized\"")
#define KORVEX_INTRINSICS_END _Pragma("GCC diagnostic pop")
