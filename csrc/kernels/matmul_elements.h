// Element functions of the exact matrix product of operands whose denominators are all
// +-2^e, which is every record made from floats and integers and their sums and products.
// Such a row's denominators clear by a shift, so the product is one integer GEMM of cleared
// residues, and each entry's fraction follows from exponent arithmetic alone. Host-and-device
// code without exceptions or allocation, run by the CPU launcher and the CUDA kernels alike.
#pragma once

#include <c10/macros/Macros.h>

#include <cstdint>

#include "exact/crt.h"
#include "exact/moduli.h"

namespace korvex::kernels {

using exact::kPrimes;
using u64 = std::uint64_t;

// The host path clears a row only while its lcm, 2^L, has at most 600 bits.
constexpr int kMaxRowShift = 599;
// Width of a row of the 2^k mod p table (exact_jobs.h: k <= 1074).
constexpr int kPow2Row = 1075;

// Residues of one operand, element (r, t) of prime j at p[j * sp + r * sr + t * st]: the
// record's own strides, so transposed and sliced operands are read where they lie.
struct StridedResidues {
  const int64_t* p;
  int64_t sp, sr, st;
  C10_HOST_DEVICE const int64_t* at(int64_t r, int64_t t) const { return p + r * sr + t * st; }
};

// An element as the clearing needs it: code = 2e + (denominator < 0) for a denominator
// +-2^e, or -1 for any other denominator (zero included); bits: |numerator|'s bit length.
struct DyadicCode {
  int32_t code;
  int32_t bits;
};

C10_HOST_DEVICE inline DyadicCode dyadic_code(const exact::Constants& c, const int64_t* pn, int64_t sn,
                                              const int64_t* pd, int64_t sd, int kn, int kd) {
  const exact::SBig d = exact::crt_signed(c, pd, sd, kd);
  const int e = exact::ubig_power_of_two(d.mag);
  if (e < 0) return {-1, 0};
  return {2 * e + (d.neg ? 1 : 0), exact::crt_signed(c, pn, sn, kn).mag.bit_length()};
}

// The residue of num * sign(den) * 2^(L - e) for the row maximum L (L - e <= kMaxRowShift).
C10_HOST_DEVICE inline int64_t cleared_residue(const exact::ModP& mod, const int32_t* pw, int64_t r, int32_t code,
                                               int32_t L) {
  u64 x = mod.mul((u64)r, (u64)pw[L - (code >> 1)]);
  if ((code & 1) && x) x = mod.p - x;
  return (int64_t)x;
}

// What the entries of a row (of A) or a column (of B) share: the shift L of its cleared
// denominators, the exponent sum S of the product of its denominators, and that product's sign.
struct RowTerms {
  int32_t L;
  int64_t S;
  bool neg;
};

struct EntryBits {
  int num_bits, den_bits;
  bool fits;
};

// Entry (i, j) from the kz residues of the integer Z = sum A~ B~ (the caller's bound says they
// hold it): the unreduced Z u_i v_j / (R_i C_j) where it fits, R_i = +-2^S_i the product of
// row i's denominators and u_i = R_i / 2^L_i; else Z / 2^(L_i + L'_j) in lowest terms. The 20
// residues of each go to on[j * so], od[j * so]; nothing is written when the value cannot be held.
C10_HOST_DEVICE inline EntryBits finish_entry(const exact::Constants& c, const int32_t* pow2, const int64_t* pz,
                                              int64_t sz, int kz, const RowTerms& a, const RowTerms& b,
                                              int64_t* on, int64_t* od, int64_t so) {
  exact::SBig z = exact::crt_signed(c, pz, sz, kz);
  const int zb = z.mag.bit_length();
  const bool sign = a.neg != b.neg;
  // The unreduced form needs both denominator products (and theirs) inside the range.
  if (a.S <= exact::kFitBits && b.S <= exact::kFitBits && a.S + b.S <= exact::kFitBits) {
    const int w = (int)(a.S - a.L + b.S - b.L);
    bool fit = zb + w <= exact::kFitBits;
    if (!fit && zb + w == exact::kCongruenceBits) {
      exact::UBig t = z.mag;
      exact::ubig_shl(t, w);
      fit = exact::ubig_cmp(t, c.half_M) <= 0;
    }
    if (fit) {
      const int sd = (int)(a.S + b.S);
      exact::residues_of(c, z, on, so);
      for (int j = 0; j < kPrimes; ++j) {
        const exact::ModP& m = c.mod[j];
        const int32_t* pw = pow2 + j * kPow2Row;
        u64 n = m.mul((u64)on[j * so], (u64)pw[w]);
        if (sign && n) n = m.p - n;
        u64 d = (u64)pw[sd];
        if (sign) d = m.p - d;  // 2^k mod p is never 0
        on[j * so] = (int64_t)n;
        od[j * so] = (int64_t)d;
      }
      return {zb == 0 ? 0 : zb + w, sd + 1, true};
    }
  }
  // Lowest terms: only a common power of two can cancel against 2^(L_i + L'_j).
  const int shift = a.L + b.L;
  const int t = zb == 0 ? shift : exact::kmin(exact::ubig_ctz(z.mag), shift);
  const int sd = shift - t;
  if (sd > exact::kFitBits) return {0, 0, false};
  exact::ubig_shr(z.mag, t);
  exact::residues_of(c, z, on, so);
  for (int j = 0; j < kPrimes; ++j) od[j * so] = (int64_t)pow2[j * kPow2Row + sd];
  return {z.mag.bit_length(), sd + 1, true};
}

}  // namespace korvex::kernels
