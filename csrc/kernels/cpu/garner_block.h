// The Garner digits of a block of elements formed across the block, digit by digit, which
// vectorises, where one element after another is a chain of dependent products. The jobs on
// values within four residues (to_float, order keys, dot products) read their values this way.
#pragma once

#include <cstdint>

#include "exact/crt.h"
#include "kernels/cpu/isa.h"

namespace korvex::kernels {

constexpr int64_t kDigitBlock = 256;

// v[j][i], j < K, the digits of the cnt <= kDigitBlock elements whose residue rows start at
// r + j * stride.
template <int K>
KORVEX_ALWAYS_INLINE void garner_block(const exact::Constants& c, const int64_t* __restrict r, int64_t stride,
                                       int64_t cnt, std::uint64_t (*__restrict v)[kDigitBlock]) {
  for (int j = 0; j < K; ++j) {
    const exact::ModP m = c.mod[j];
    const int64_t* __restrict rj = r + j * stride;
    std::uint64_t* __restrict vj = v[j];
    for (int64_t i = 0; i < cnt; ++i) vj[i] = (std::uint64_t)rj[i];
    for (int q = 0; q < j; ++q) {
      const std::uint64_t* __restrict vq = v[q];
      const std::uint64_t inv = c.inv[q][j];
      for (int64_t i = 0; i < cnt; ++i) vj[i] = exact::garner_step(m, vj[i], vq[i], inv);
    }
  }
}

// The same for a count k known only at run time (1 <= k <= 8; v has k rows).
KORVEX_ALWAYS_INLINE void garner_block(const exact::Constants& c, const int64_t* r, int64_t stride, int64_t cnt, int k,
                                       std::uint64_t (*v)[kDigitBlock]) {
  switch (k) {
    case 1: return garner_block<1>(c, r, stride, cnt, v);
    case 2: return garner_block<2>(c, r, stride, cnt, v);
    case 3: return garner_block<3>(c, r, stride, cnt, v);
    case 4: return garner_block<4>(c, r, stride, cnt, v);
    case 5: return garner_block<5>(c, r, stride, cnt, v);
    case 6: return garner_block<6>(c, r, stride, cnt, v);
    case 7: return garner_block<7>(c, r, stride, cnt, v);
    default: return garner_block<8>(c, r, stride, cnt, v);
  }
}

// The runtime-k block as a call, for loops that are not themselves built per instruction set:
// the vector builds are in matmul_lanes.h.
using GarnerBlockFn = void (*)(const exact::Constants&, const int64_t*, int64_t, int64_t, int,
                               std::uint64_t (*)[kDigitBlock]);
inline void garner_block_generic(const exact::Constants& c, const int64_t* r, int64_t stride, int64_t cnt, int k,
                                 std::uint64_t (*v)[kDigitBlock]) {
  garner_block(c, r, stride, cnt, k, v);
}

// Element i's value from the digits of its block, as exact::crt_signed_2w reads it.
KORVEX_ALWAYS_INLINE bool signed_2w_of_block(const exact::Constants& c, const std::uint64_t (*v)[kDigitBlock], int k,
                                             int64_t i, std::uint64_t& lo, std::uint64_t& hi) {
  switch (k) {
    case 1: return exact::detail::signed_2w_of_digits<1>(c, &v[0][i], kDigitBlock, lo, hi);
    case 2: return exact::detail::signed_2w_of_digits<2>(c, &v[0][i], kDigitBlock, lo, hi);
    case 3: return exact::detail::signed_2w_of_digits<3>(c, &v[0][i], kDigitBlock, lo, hi);
    default: return exact::detail::signed_2w_of_digits<4>(c, &v[0][i], kDigitBlock, lo, hi);
  }
}

}  // namespace korvex::kernels
