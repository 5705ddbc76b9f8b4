// Conversions between residues and exact integers, one element at a time and batched.
#pragma once

#include <cstdint>

#include "exact/bigint.h"
#include "exact/moduli.h"

namespace korvex::exact {

// The integer in [0, P) with the given residues modulo the first k moduli (1 <= k <= kPrimes),
// P their product (Garner's mixed radix, then Horner). `stride` is the distance between the residues of one
// element in consecutive primes.
UBig crt_unsigned(const std::int64_t* residues, std::int64_t stride, int k = kPrimes);

// The same integer read in the symmetric range (-(P-1)/2 .. (P-1)/2).
SBig crt_signed(const std::int64_t* residues, std::int64_t stride, int k = kPrimes);

// Residues modulo the first k primes of a signed integer (any size up to the capacity) into
// out[j * stride].
void residues_of(const SBig& x, std::int64_t* out, std::int64_t stride, int k = kPrimes);

// |x| <= (M-1)/2
inline bool fits(const SBig& x) { return ubig_cmp(x.mag, constants().half_M) <= 0; }

// Lowest terms with a non-negative denominator, as to_rational reads a fraction:
// n/0 becomes (+-1, 0) and 0/0 stays (0, 0).
void reduce_fraction(SBig& n, SBig& d);

}  // namespace korvex::exact
