// Float-derived values read eight at a time straight from their residues: a numerator of one
// word over a denominator 2^k, the form nearly every element of a record made by from_tensor
// has. to_float, sum and dot take such elements from the lanes (dyadic_lanes.h) and every other
// element the exact way, one at a time; the lanes only ever decide what they can prove.
#pragma once

#include <cstdint>

#include "exact/crt.h"

namespace korvex::kernels {

// The exponent k of a denominator 2^k is found from its first residue alone, 2^k mod p_0, by a
// multiplicative hash into a table of the k up to kLookupTop; the residues of 2^k modulo every
// prime the values need then confirm or refute it. A slot holds 2^k mod p_0 beside its k, and
// `pair` the next two primes' residues of 2^k side by side, so that three residues are checked
// by two reads of one word each, neither waiting on a third.
struct Pow2Lookup {
  static constexpr int kSlotBits = 12;
  static constexpr int kLookupTop = 127;  // past the largest k four residues hold
  std::uint64_t mult;
  // 2^k mod p_0 | k << 32; an empty slot's low word is 2^32 - 1, which no residue equals.
  std::uint64_t slot_of[1 << kSlotBits];
  std::uint64_t pair[kLookupTop + 1];  // 2^k mod p_1 | (2^k mod p_2) << 32
  const int32_t* pow2;                 // pow2_table_on(kCPU): row j, pow2_row entries long, holds 2^k mod p_j
  int64_t pow2_row;
  C10_HOST_DEVICE static int64_t slot(std::uint64_t r0, std::uint64_t mult) {
    return (int64_t)(((r0 * mult) >> 20) & ((1u << kSlotBits) - 1));
  }
};

// Built once: the first multiplier that sends no two of the k to one slot, and the table.
const Pow2Lookup& pow2_lookup();

}  // namespace korvex::kernels
