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
// The table the product reads instead: 2^x mod p for |x| < kPow2Row, x at [x + kPow2Row - 1].
// Negative powers divide out the power of two a cleared row or an entry shares.
constexpr int kSignedPow2Row = 2 * kPow2Row - 1;
constexpr int kSignedPow2Zero = kPow2Row - 1;

// Integers of at most eight primes (246 bits: every element of a float-made record, and the
// product entries of float matrices up to large sizes) are rebuilt in four words, which spares
// the element loops the big integers' 24-limb loops and copies.
constexpr int kWordPrimes = 8;

// The integer of k <= kWordPrimes Garner digits (digit j at v[j * vs]) read in the symmetric
// range, as its magnitude in four words; true when it is negative.
C10_HOST_DEVICE inline bool words_of_digits(const exact::Constants& c, const u64* v, int64_t vs, int k, u64* x) {
  x[0] = v[(k - 1) * vs];
  x[1] = x[2] = x[3] = 0;
  for (int j = k - 2; j >= 0; --j) {
    u64 carry = v[j * vs];
    for (int i = 0; i < 4; ++i) x[i] = exact::mul_add2(x[i], c.mod[j].p, carry, 0, carry);
  }
  const exact::UBig& h = c.prefix_half[k];
  int cmp = 0;
  for (int i = 3; i >= 0 && cmp == 0; --i) {
    const u64 hw = i < h.n ? h.w[i] : 0;
    if (x[i] != hw) cmp = x[i] > hw ? 1 : -1;
  }
  if (cmp <= 0) return false;
  // The symmetric range: x - P, as its magnitude P - x.
  const exact::UBig& pm = c.prefix_M[k];
  u64 borrow = 0;
  for (int i = 0; i < 4; ++i) {
    const u64 a = i < pm.n ? pm.w[i] : 0;
    const u64 d = a - x[i] - borrow;
    borrow = (a < x[i]) || (a - x[i] < borrow);
    x[i] = d;
  }
  return true;
}

// The same from the first k residues.
C10_HOST_DEVICE inline bool crt_4w(const exact::Constants& c, const int64_t* r, int64_t stride, int k, u64* x) {
  u64 v[kWordPrimes] = {};  // k is at least 1, which the compiler cannot see
  exact::garner_digits(c, r, stride, k, v);
  return words_of_digits(c, v, 1, k, x);
}

C10_HOST_DEVICE inline int words_bits(const u64* x, int n) {
  for (int i = n - 1; i >= 0; --i)
    if (x[i]) return 64 * i + 64 - exact::clz64(x[i]);
  return 0;
}

C10_HOST_DEVICE inline int words_ctz(const u64* x, int n) {
  for (int i = 0; i < n; ++i)
    if (x[i]) return 64 * i + exact::ctz64(x[i]);
  return 0;
}

// x >>= s over n words.
C10_HOST_DEVICE inline void words_shr(u64* x, int n, int s) {
  const int w = s / 64, b = s % 64;
  for (int i = 0; i < n; ++i) {
    const u64 lo = i + w < n ? x[i + w] : 0, hi = i + w + 1 < n ? x[i + w + 1] : 0;
    x[i] = b ? (lo >> b) | (hi << (64 - b)) : lo;
  }
}

C10_HOST_DEVICE inline exact::SBig crt_words(const exact::Constants& c, const int64_t* r, int64_t stride, int k) {
  if (k > kWordPrimes) return exact::crt_signed(c, r, stride, k);
  u64 x[4];
  exact::SBig s;
  s.neg = crt_4w(c, r, stride, k, x);
  for (int i = 0; i < 4; ++i) s.mag.w[i] = x[i];
  s.mag.n = 4;
  s.mag.trim();
  s.neg = s.neg && !s.mag.is_zero();
  return s;
}

// Bit length, trailing zeros and sign of the integer held by the first k residues: in two
// words where it fits (every element of a float- or integer-made record), since this runs
// for each element of both operands.
struct ElementShape {
  int bits, ctz;
  bool neg;
  int pow2;  // e when |x| = 2^e, else -1
};

// The shape of a value within two words, magnitude hi:lo.
C10_HOST_DEVICE inline ElementShape shape_of_2w(bool neg, u64 lo, u64 hi) {
  ElementShape e;
  const u64 x[2] = {lo, hi};
  e.bits = words_bits(x, 2);
  e.ctz = words_ctz(x, 2);
  e.pow2 = e.bits > 0 && e.bits - 1 == e.ctz ? e.ctz : -1;
  e.neg = neg && e.bits > 0;
  return e;
}

C10_HOST_DEVICE inline ElementShape element_shape(const exact::Constants& c, const int64_t* r, int64_t stride,
                                                  int k) {
  if (k <= 4) {
    u64 lo, hi;
    const bool neg = exact::crt_signed_2w(c, r, stride, k, lo, hi);
    return shape_of_2w(neg, lo, hi);
  }
  ElementShape e;
  const exact::SBig s = crt_words(c, r, stride, k);
  e.neg = s.neg;
  e.bits = s.mag.bit_length();
  e.ctz = exact::ubig_ctz(s.mag);
  e.pow2 = exact::ubig_power_of_two(s.mag);
  return e;
}

// Residues of one operand, element (r, t) of prime j at p[j * sp + r * sr + t * st]: the
// record's own strides, so transposed and sliced operands are read where they lie.
struct StridedResidues {
  const int64_t* p;
  int64_t sp, sr, st;
  C10_HOST_DEVICE const int64_t* at(int64_t r, int64_t t) const { return p + r * sr + t * st; }
};

// What the product needs of a row (of A) or a column (of B): the shift L that clears its
// denominators (2^L their lcm), the exponent sum S of their product R and the sign of R, the
// bit length of its largest cleared value, and T, the trailing zeros all its cleared values
// share. The GEMM sums the cleared values over 2^T: an integer made from a tensor is stored
// as (v 2^s) / 2^s, so a row of small integers clears to v 2^L, and without T its entries
// would need sixty bits more than the integers have. dyadic is false when some denominator
// is not +-2^e (zero included); the host path then decides.
struct RowTerms {
  int32_t L = 0;
  int64_t S = 0;
  bool neg = false;
  int32_t T = 0;
  int bits = 0;
  bool dyadic = true;
};

// A row's terms folded one element at a time from the shapes of its denominator and
// numerator: add() is false (and the row not dyadic) at a denominator that is not +-2^e.
struct RowFold {
  RowTerms rt;
  int widest = 0;  // max of bits(num) - e over non-zero numerators: cleared bits less L
  int lowest = 0;  // min of ctz(num) - e over them: shared trailing zeros less L
  bool any = false;

  // The element's code, 2e + (denominator < 0), into `code`.
  C10_HOST_DEVICE bool add(const ElementShape& d, const ElementShape& x, int32_t& code) {
    const int e = d.pow2;
    if (e < 0) {
      rt.dyadic = false;
      return false;
    }
    code = 2 * e + (d.neg ? 1 : 0);
    rt.L = exact::kmax(rt.L, (int32_t)e);
    rt.S += e;
    rt.neg = rt.neg != d.neg;
    if (x.bits > 0) {
      widest = any ? exact::kmax(widest, x.bits - e) : x.bits - e;
      lowest = any ? exact::kmin(lowest, x.ctz - e) : x.ctz - e;
      any = true;
    }
    return true;
  }

  // Several elements at once, their denominators all positive: the largest and the sum of
  // their exponents and, over their non-zero numerators (if any), the extremes of bits - e
  // and ctz - e.
  C10_HOST_DEVICE void add_block(int32_t max_e, int64_t sum_e, bool nonzero, int wide, int low) {
    rt.L = exact::kmax(rt.L, max_e);
    rt.S += sum_e;
    if (nonzero) {
      widest = any ? exact::kmax(widest, wide) : wide;
      lowest = any ? exact::kmin(lowest, low) : low;
      any = true;
    }
  }

  C10_HOST_DEVICE RowTerms done() {
    rt.bits = any ? rt.L + widest : 0;
    rt.T = any ? rt.L + lowest : 0;
    return rt;
  }
};

// Element t of row r folded into f, its code into codes[t]: false (and the row not dyadic) at
// a denominator that is not +-2^e.
C10_HOST_DEVICE inline bool fold_element(const exact::Constants& c, const StridedResidues& num,
                                         const StridedResidues& den, int64_t r, int64_t t, int kn, int kd,
                                         int32_t* codes, RowFold& f) {
  return f.add(element_shape(c, den.at(r, t), den.sp, kd), element_shape(c, num.at(r, t), num.sp, kn), codes[t]);
}

// The row's elements at t < len, each coded into codes[t].
C10_HOST_DEVICE inline RowTerms row_terms(const exact::Constants& c, const StridedResidues& num,
                                          const StridedResidues& den, int64_t r, int64_t len, int kn, int kd,
                                          int32_t* codes) {
  RowFold f;
  for (int64_t t = 0; t < len; ++t)
    if (!fold_element(c, num, den, r, t, kn, kd, codes, f)) return f.rt;
  return f.done();
}

// The residue of num * sign(den) * 2^(L - T - e) for the row's L and T, from the signed table
// row spw (|L - T - e| < kPow2Row).
C10_HOST_DEVICE inline int64_t cleared_residue(const exact::ModP& mod, const int32_t* spw, int64_t r, int32_t code,
                                               int32_t shift) {
  // Without branches, so that the CPU's row loop vectorises.
  const u64 x = mod.mul((u64)r, (u64)spw[kSignedPow2Zero + shift - (code >> 1)]);
  const bool flip = ((code & 1) != 0) & (x != 0);
  return (int64_t)(flip ? mod.p - x : x);
}

// ------------------------------------------------------------------ the residue GEMM in doubles
//
// Residues are taken balanced, |x| <= (p - 1)/2 < 2^30, and A's are split once more as
// x1 2^16 + x0 with |x0| <= 2^15 (so |x1| <= 2^14 + 1): every product x_h y then stays within
// 2^45 and a block of kGemmBlock of them sums exactly in a double. Two GEMMs per prime.
constexpr int64_t kGemmBlock = 256;

C10_HOST_DEVICE inline int64_t balanced(const exact::ModP& mod, int64_t x) {
  return x > (int64_t)(mod.p >> 1) ? x - (int64_t)mod.p : x;
}

C10_HOST_DEVICE inline void split_halves(int64_t x, double& hi, double& lo) {
  const int64_t x0 = ((x + 32768) & 65535) - 32768;
  lo = (double)x0;
  hi = (double)((x - x0) / 65536);
}

// One k-block's exact sums z1 (high halves) and z0 (low) folded into the residue acc.
C10_HOST_DEVICE inline int64_t fold_gemm_block(const exact::ModP& mod, double z1, double z0, int64_t acc) {
  // p 2^23 > 2^53 >= |z|: the lifted sums are positive and below 2^55, inside Barrett's 2^62.
  const int64_t lift = (int64_t)mod.p << 23;
  const u64 r1 = mod.reduce((u64)((int64_t)z1 + lift)), r0 = mod.reduce((u64)((int64_t)z0 + lift));
  return (int64_t)mod.add((u64)acc, mod.add(mod.mul(r1, 65536), r0));
}

struct EntryBits {
  int num_bits, den_bits;
  bool fits;
};

// Entry (i, j) from Z' = Z / 2^(T_i + T'_j), the sum of the cleared values the GEMM formed:
// its kz residues (the caller's bound says they hold it), or with `direct` Z' itself in
// pz[0]. The unreduced Z u_i v_j / (R_i C_j) where it fits, R_i = +-2^S_i the product of
// row i's denominators and u_i = R_i / 2^L_i; else Z / 2^(L_i + L'_j) in lowest terms. The
// 20 residues of each go to on[j * so], od[j * so]; nothing is written when the value cannot
// be held. spow2 is the signed table, kSignedPow2Row per prime.
C10_HOST_DEVICE inline EntryBits finish_entry_wide(const exact::Constants& c, const int32_t* spow2,
                                                   const int64_t* pz, int64_t sz, int kz, const RowTerms& a,
                                                   const RowTerms& b, int64_t* on, int64_t* od, int64_t so);

// An entry's numerator is Z' 2^delta (negated when flip), its denominator 2^sd (negated
// when dneg): what its residues follow from, once per entry, for Z' of at most kWordPrimes
// primes, |Z'| in four words of xb bits.
struct EntryForm {
  u64 x[4];
  int xb;
  int32_t delta, sd;
  bool zneg, flip, dneg;
  EntryBits bits;
};

// The form of an entry whose |Z'| (sign zneg) the caller has put into f.x.
C10_HOST_DEVICE inline void entry_form_of(const exact::Constants& c, const RowTerms& a, const RowTerms& b,
                                          EntryForm& f) {
  const u64* x = f.x;
  const int tz = a.T + b.T;
  const int xb = f.xb = words_bits(x, 4);
  const int zb = xb == 0 ? 0 : xb + tz;  // bits of Z
  const bool sign = a.neg != b.neg;
  f.flip = f.dneg = false;
  bool done = false;
  // The unreduced form needs both denominator products (and theirs) inside the range.
  if (a.S <= exact::kFitBits && b.S <= exact::kFitBits && a.S + b.S <= exact::kFitBits) {
    const int w = (int)(a.S - a.L + b.S - b.L);
    bool fit = zb + w <= exact::kFitBits;
    if (!fit && zb + w == exact::kCongruenceBits) {
      exact::UBig t;
      for (int i = 0; i < 4; ++i) t.w[i] = x[i];
      t.n = 4;
      t.trim();
      exact::ubig_shl(t, w + tz);
      fit = exact::ubig_cmp(t, c.half_M) <= 0;
    }
    if (fit) {
      f.delta = w + tz;
      f.sd = (int)(a.S + b.S);
      f.flip = f.dneg = sign;
      f.bits = {zb == 0 ? 0 : zb + w, f.sd + 1, true};
      done = true;
    }
  }
  if (!done) {
    // Lowest terms: only a common power of two can cancel against 2^(L_i + L'_j).
    const int shift = a.L + b.L;
    const int t = zb == 0 ? shift : exact::kmin(words_ctz(x, 4) + tz, shift);
    f.sd = shift - t;
    f.delta = tz - t;  // at least -ctz(Z')
    f.bits = {zb == 0 ? 0 : zb - t, f.sd + 1, f.sd <= exact::kFitBits};
    // A division by 2^-delta that is exact is made on |Z'| itself: the residues then need no
    // multiplication by the power's inverse, and an integer entry's none at all.
    if (f.delta < 0) {
      words_shr(f.x, 4, -f.delta);
      if (f.xb) f.xb += f.delta;
      f.delta = 0;
    }
  }
}

C10_HOST_DEVICE inline EntryForm entry_form(const exact::Constants& c, const int64_t* pz, int64_t sz, int kz,
                                            bool direct, const RowTerms& a, const RowTerms& b) {
  EntryForm f;
  u64* x = f.x;  // |Z'|
  x[0] = x[1] = x[2] = x[3] = 0;
  if (direct) {
    const int64_t v = pz[0];
    f.zneg = v < 0;
    x[0] = f.zneg ? (u64)0 - (u64)v : (u64)v;
  } else {
    f.zneg = crt_4w(c, pz, sz, kz, x);
  }
  entry_form_of(c, a, b, f);
  return f;
}

// |Z'| mod p_j: below 2^62 one reduction, above a sum of products of its chunks.
C10_HOST_DEVICE inline u64 entry_magnitude_residue(const exact::Constants& c, int j, const EntryForm& f) {
  if (f.xb <= 62) return c.mod[j].reduce(f.x[0]);
  u64 ch[(256 + exact::Constants::kChunkBits - 1) / exact::Constants::kChunkBits];
  return exact::residue_of_chunks(c, j, ch, exact::chunks_of(f.x, 4, f.xb, ch));
}

// An entry's residues modulo p from zr, the residue of its Z' (or of |Z'|, then neg says
// whether the numerator's sign differs from zr's), and pw, the prime's signed table row at
// 2^0. A multiplication by 2^0 = 1 leaves zr < p as it is.
C10_HOST_DEVICE inline void entry_residue_pair(const exact::ModP& m, const int32_t* pw, u64 zr, int32_t delta,
                                               int32_t sd, bool neg, bool dneg, int64_t& num, int64_t& den) {
  u64 n = m.mul(zr, (u64)pw[delta]);
  if (neg && n) n = m.p - n;
  const u64 d = (u64)pw[sd];
  num = (int64_t)n;
  den = (int64_t)(dneg ? m.p - d : d);  // 2^k mod p is never 0
}

// The same from a form, zr the GEMM's residue of Z' or (with `magnitude`) that of |Z'|.
C10_HOST_DEVICE inline void entry_residues(const exact::ModP& m, const int32_t* pw, const EntryForm& f, u64 zr,
                                           bool magnitude, int64_t& num, int64_t& den) {
  entry_residue_pair(m, pw, zr, f.delta, f.sd, f.flip != (magnitude && f.zneg), f.dneg, num, den);
}

C10_HOST_DEVICE inline EntryBits finish_entry(const exact::Constants& c, const int32_t* spow2, const int64_t* pz,
                                              int64_t sz, int kz, bool direct, const RowTerms& a, const RowTerms& b,
                                              int64_t* on, int64_t* od, int64_t so) {
  if (!direct && kz > kWordPrimes) return finish_entry_wide(c, spow2, pz, sz, kz, a, b, on, od, so);
  const EntryForm f = entry_form(c, pz, sz, kz, direct, a, b);
  if (!f.bits.fits) return f.bits;
  const int known = direct ? 0 : kz;
  for (int j = 0; j < kPrimes; ++j) {
    const int32_t* pw = spow2 + j * kSignedPow2Row + kSignedPow2Zero;
    const bool mag = j >= known;
    entry_residues(c.mod[j], pw, f, mag ? entry_magnitude_residue(c, j, f) : (u64)pz[j * sz], mag, on[j * so],
                   od[j * so]);
  }
  return f.bits;
}

// The same for Z' of more than kWordPrimes primes, through the big integers.
C10_HOST_DEVICE inline EntryBits finish_entry_wide(const exact::Constants& c, const int32_t* spow2,
                                                   const int64_t* pz, int64_t sz, int kz, const RowTerms& a,
                                                   const RowTerms& b, int64_t* on, int64_t* od, int64_t so) {
  exact::SBig z = crt_words(c, pz, sz, kz);
  exact::ubig_shl(z.mag, a.T + b.T);  // Z has at most kFitBits bits: no capacity to leave
  const int zb = z.mag.bit_length();
  const bool sign = a.neg != b.neg;
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
        const int32_t* pw = spow2 + j * kSignedPow2Row + kSignedPow2Zero;
        u64 n = m.mul((u64)on[j * so], (u64)pw[w]);
        if (sign && n) n = m.p - n;
        u64 d = (u64)pw[sd];
        if (sign) d = m.p - d;
        on[j * so] = (int64_t)n;
        od[j * so] = (int64_t)d;
      }
      return {zb == 0 ? 0 : zb + w, sd + 1, true};
    }
  }
  const int shift = a.L + b.L;
  const int t = zb == 0 ? shift : exact::kmin(exact::ubig_ctz(z.mag), shift);
  const int sd = shift - t;
  if (sd > exact::kFitBits) return {0, 0, false};
  exact::ubig_shr(z.mag, t);
  exact::residues_of(c, z, on, so);
  for (int j = 0; j < kPrimes; ++j) od[j * so] = (int64_t)spow2[j * kSignedPow2Row + kSignedPow2Zero + sd];
  return {z.mag.bit_length(), sd + 1, true};
}

}  // namespace korvex::kernels
