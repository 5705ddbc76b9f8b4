// Row loops of the field kernels and of dyadic values, in a baseline, an AVX2 and an AVX-512
// build (field_rows.cpp), picked at run time.
#pragma once

#include <cstdint>

#include "exact/moduli.h"
#include "kernels/dyadic_element.h"
#include "kernels/field_element.h"

namespace korvex::kernels {

using RowFn = void (*)(exact::ModP, const int64_t*, const int64_t*, const int64_t*, const int64_t*, int64_t*,
                       int64_t*, int64_t, int64_t);

// The widest build of the row loop this CPU runs.
RowFn field_row_fn(FieldOp op, bool as, bool bs);

// The residues of a block of cnt values (neg[i] ? -m[i] : m[i]) * 2^a[i] / 2^b[i], every m[i]
// below 2^62 and neg[i] 0 or 1, into on[j * row_stride + i], od[...] for every prime j; tab: the
// rows of 2^k mod p, tab_stride apart.
using DyadicBlockFn = void (*)(const exact::ModP* mods, const int32_t* tab, int64_t tab_stride,
                               const std::uint64_t* m, const int64_t* a, const int64_t* b,
                               const std::uint64_t* neg, int64_t* on, int64_t* od, int64_t row_stride,
                               int64_t cnt);

DyadicBlockFn dyadic_block_fn();

// out[j] = in[ix[j]] for j < k.
using TakeRowFn = void (*)(const int64_t* in, const int32_t* ix, int64_t* out, int64_t k);
TakeRowFn take_row_fn();

// Whether this CPU runs the AVX-512 builds of the row loops, and the AVX2 ones (defined in
// field_ops.cpp, outside the code built for either).
bool cpu_runs_avx512();
bool cpu_runs_avx2();

// Of one loop's builds, the widest this CPU runs.
template <class F>
F widest_build(F avx512, F avx2, F generic) {
  return cpu_runs_avx512() ? avx512 : cpu_runs_avx2() ? avx2 : generic;
}

}  // namespace korvex::kernels
