// Element functions of dot products and running sums over dyadic records (every denominator
// +-2^e), the form every float-derived record has. Host-and-device code like exact_elements.h:
// the CPU launchers and the CUDA kernels of sum_jobs.h run these same lines.
#pragma once

#include <c10/macros/Macros.h>

#include <cstdint>

#include "exact/crt.h"
#include "kernels/exact_elements.h"

namespace korvex::kernels {

using exact::SBig;
using exact::UBig;

// The residue rows of one operand: element k of a prime row j at num[j * stride + k], its
// first kn (kd) rows enough for every numerator (denominator).
struct DyadicOperand {
  const int64_t* num;
  const int64_t* den;
  int kn, kd;
};

// ------------------------------------------------------------------ dot products

// A value of at most 122 bits read from its first k <= 4 residues, as crt_signed reads it, in
// two words: the common case of float-derived records, kept clear of the 24-limb integers.
struct SmallSigned {
  u64 lo, hi;
  bool neg;
};

C10_HOST_DEVICE inline SmallSigned small_signed(const Constants& c, const int64_t* r, int64_t stride, int k) {
  SmallSigned s;
  s.neg = exact::crt_signed_2w(c, r, stride, k, s.lo, s.hi);
  return s;
}

// The exponent of a two-word power of two, else -1.
C10_HOST_DEVICE inline int small_power_of_two(const SmallSigned& v) {
  if (v.lo) return (v.hi || (v.lo & (v.lo - 1))) ? -1 : exact::ctz64(v.lo);
  return (v.hi && !(v.hi & (v.hi - 1))) ? 64 + exact::ctz64(v.hi) : -1;
}

// part += w * 2^shift for the 4-word w, where the caller has checked the limbs suffice.
C10_HOST_DEVICE inline void acc_add_words(u64* part, const u64* w, int shift) {
  const int ls = shift / 64, bs = shift % 64;
  u64 carry = 0;
  int i = 0;
  for (; i <= 4 && i + ls < kAccLimbs; ++i) {
    const u64 cur = i < 4 ? w[i] : 0, below = i > 0 ? w[i - 1] : 0;
    const u64 word = bs ? (cur << bs) | (below >> (64 - bs)) : cur;
    part[i + ls] = exact::add_carry(part[i + ls], word, carry, carry);
  }
  for (int j = i + ls; carry && j < kAccLimbs; ++j) part[j] = exact::add_carry(part[j], 0, carry, carry);
}

// add_dyadic_product on values of at most 122 bits (k <= 4 rows each), read already: the same
// decisions and the same sum, in words.
C10_HOST_DEVICE inline bool add_small_product(const SmallSigned& nx, const SmallSigned& dx, const SmallSigned& ny,
                                              const SmallSigned& dy, int scale, DyadicAcc& acc) {
  const int ex = small_power_of_two(dx);
  if (ex < 0) return false;
  const int ey = small_power_of_two(dy);
  if (ey < 0 || ex + ey > scale) return false;
  if ((nx.lo | nx.hi) == 0 || (ny.lo | ny.hi) == 0) return true;
  // The 4-word product of the magnitudes.
  u64 w[4], h0, h1, h2, h3;
  w[0] = exact::mul_wide(nx.lo, ny.lo, h0);
  const u64 m1 = exact::mul_add2(nx.lo, ny.hi, h0, 0, h1);
  w[1] = exact::mul_add2(nx.hi, ny.lo, m1, 0, h2);
  u64 carry;
  const u64 m2 = exact::add_carry(h1, h2, 0, carry);
  w[2] = exact::mul_add2(nx.hi, ny.hi, m2, 0, h3);
  w[3] = h3 + carry;
  int top = 3;
  while (w[top] == 0) --top;
  const int bits = 64 * top + 64 - exact::clz64(w[top]);
  const int shift = scale - ex - ey;
  if (bits + shift > 64 * (kAccLimbs - 1)) return false;
  acc_add_words((nx.neg != ny.neg) != (dx.neg != dy.neg) ? acc.neg : acc.pos, w, shift);
  return true;
}

C10_HOST_DEVICE inline bool add_small_dyadic_product(const Constants& c, const DyadicOperand& x,
                                                     const DyadicOperand& y, int64_t stride, int64_t k, int scale,
                                                     DyadicAcc& acc) {
  return add_small_product(small_signed(c, x.num + k, stride, x.kn), small_signed(c, x.den + k, stride, x.kd),
                           small_signed(c, y.num + k, stride, y.kn), small_signed(c, y.den + k, stride, y.kd), scale,
                           acc);
}

// Adds x_k * y_k into `acc` at scale 2^scale: the numerators multiplied exactly, the exponents
// of the denominators added. False, and nothing added, where a denominator is not +-2^e, the
// exponents pass the scale, or the shifted product would pass the limbs that keep the
// accumulator free of overflow for 2^64 terms: such a dot is left to the host.
C10_HOST_DEVICE inline bool add_dyadic_product(const Constants& c, const DyadicOperand& x, const DyadicOperand& y,
                                               int64_t stride, int64_t k, int scale, DyadicAcc& acc) {
  if (x.kn <= 4 && x.kd <= 4 && y.kn <= 4 && y.kd <= 4) return add_small_dyadic_product(c, x, y, stride, k, scale, acc);
  const SBig dx = exact::crt_signed(c, x.den + k, stride, x.kd);
  const int ex = exact::ubig_power_of_two(dx.mag);
  if (ex < 0) return false;
  const SBig dy = exact::crt_signed(c, y.den + k, stride, y.kd);
  const int ey = exact::ubig_power_of_two(dy.mag);
  if (ey < 0 || ex + ey > scale) return false;
  const SBig nx = exact::crt_signed(c, x.num + k, stride, x.kn);
  if (nx.mag.is_zero()) return true;
  const SBig ny = exact::crt_signed(c, y.num + k, stride, y.kn);
  if (ny.mag.is_zero()) return true;
  SBig p;
  exact::sbig_mul(p, nx, ny);
  const int shift = scale - ex - ey;
  if (p.mag.bit_length() + shift > 64 * (kAccLimbs - 1)) return false;
  acc_add_shifted(p.neg != (dx.neg != dy.neg) ? acc.neg : acc.pos, p.mag, shift);
  return true;
}

// ------------------------------------------------------------------ running sums

// The running sums come back to lowest terms after every this many elements; the host loop
// of cumsum renormalises at the same steps, which is what lets each chunk of this many
// elements be replayed on its own from the lowest-terms sum of everything before it.
constexpr int64_t kRunChunk = 32;

// Each of a[0 .. count) replaced by run plus the sum of those before it; run ends holding
// its start plus the sum of all of them.
C10_HOST_DEVICE inline void acc_exclusive_scan(DyadicAcc* a, int64_t count, DyadicAcc& run) {
  for (int64_t q = 0; q < count; ++q) {
    const DyadicAcc t = a[q];
    a[q] = run;
    acc_merge(run, t);
  }
}

// A value num / 2^exp in lowest terms: num odd, or exp == 0 (and 0 is 0 / 1).
struct DyadicValue {
  SBig num;
  int exp = 0;
};

// 2^e fits the range exactly while e <= kMaxDenShift.
C10_HOST_DEVICE inline bool value_fits(const Constants& c, const DyadicValue& v) {
  return v.exp <= kMaxDenShift && exact::fits(c, v.num);
}

// (a.pos - a.neg) / 2^scale in lowest terms; false where that value's numerator or
// denominator is outside the range (then nothing useful is in v).
C10_HOST_DEVICE inline bool acc_lowest(const Constants& c, const DyadicAcc& a, int scale, DyadicValue& v) {
  int top = kAccLimbs - 1;
  while (top >= 0 && a.pos[top] == a.neg[top]) --top;
  v = DyadicValue();
  if (top < 0) return true;
  const bool neg = a.neg[top] > a.pos[top];
  const u64* big = neg ? a.neg : a.pos;
  const u64* small = neg ? a.pos : a.neg;
  u64 diff[kAccLimbs];
  u64 borrow = 0;
  for (int i = 0; i < kAccLimbs; ++i) {
    const u64 b = small[i];
    diff[i] = big[i] - b - borrow;
    borrow = (big[i] < b) || (big[i] - b < borrow);
  }
  int tz = 0;
  while (diff[tz / 64] == 0) tz += 64;
  tz += exact::ctz64(diff[tz / 64]);
  const int drop = exact::kmin(tz, scale);
  // The shifted magnitude must have at most the 619 bits of the range to be held at all.
  const int ls = drop / 64, bs = drop % 64;
  int len = 0;
  for (int i = kAccLimbs - 1; i >= 0; --i) {
    if (diff[i]) {
      len = 64 * i + 64 - exact::clz64(diff[i]);
      break;
    }
  }
  if (len - drop > exact::kCongruenceBits) return false;
  for (int i = 0; i + ls < kAccLimbs && i < exact::kLimbs; ++i) {
    const u64 lo = diff[i + ls], hi = i + ls + 1 < kAccLimbs ? diff[i + ls + 1] : 0;
    v.num.mag.w[i] = bs ? (lo >> bs) | (hi << (64 - bs)) : lo;
  }
  v.num.mag.n = exact::kLimbs;
  v.num.mag.trim();
  v.num.neg = neg;
  v.exp = scale - drop;
  return value_fits(c, v);
}

// v += x / y for y = (yneg ? -2^e : 2^e), the sum left in lowest terms with a positive
// denominator, which is the one form the host's add_lowest can give for it too. False where
// the sum leaves the range.
C10_HOST_DEVICE inline bool running_add(const Constants& c, DyadicValue& v, const SBig& x, int e, bool yneg) {
  const int m = exact::kmax(v.exp, e);
  SBig b = x;
  exact::ubig_shl(v.num.mag, m - v.exp);
  exact::ubig_shl(b.mag, m - e);
  b.neg = x.neg != yneg && !x.mag.is_zero();
  exact::sbig_add(v.num, v.num, b, false);
  if (v.num.mag.is_zero()) {
    v.exp = 0;
    return true;
  }
  const int drop = exact::kmin(exact::ubig_ctz(v.num.mag), m);
  exact::ubig_shr(v.num.mag, drop);
  v.exp = m - drop;
  return value_fits(c, v);
}

// The documented accumulator of cumsum: the lowest-terms value at the last renormalisation,
// then acc_n * y + acc_d * x over acc_d * y for each element, while those stay within the
// limits of the host loop. Its denominator stays +-2^exp here, so each product is a shift.
struct DocumentedSum {
  SBig num;
  int exp = 0;
  bool den_neg = false;
  bool ok = true;
};

// One step of the documented accumulator, deciding as the host loop's mul_within does with a
// factor +-2^e: a product of bit lengths a and e + 1 is refused when a + e passes the limit,
// and otherwise has a + e bits (0 for a zero factor), so the second test there never refuses.
C10_HOST_DEVICE inline void documented_add(DocumentedSum& s, const SBig& x, int e, bool yneg) {
  if (!s.ok) return;
  const int half = exact::kCapacityBits / 2;
  if (s.num.mag.bit_length() + e > half || s.exp + x.mag.bit_length() > half ||
      s.exp + e + 1 > exact::kCongruenceBits) {
    s.ok = false;
    return;
  }
  SBig t2 = x;
  exact::ubig_shl(s.num.mag, e);
  s.num.neg = s.num.neg != yneg && !s.num.mag.is_zero();
  exact::ubig_shl(t2.mag, s.exp);
  t2.neg = x.neg != s.den_neg && !t2.mag.is_zero();
  exact::sbig_add(s.num, s.num, t2, false);
  s.exp += e;
  s.den_neg = s.den_neg != yneg;
}

// Residues of +-2^e (e <= kMaxShift) from the table of powers of two.
C10_HOST_DEVICE inline void pow2_residues(const Constants& c, const int32_t* pow2, int e, bool neg, int64_t* out,
                                          int64_t stride) {
  for (int j = 0; j < kPrimes; ++j) {
    u64 r = (u64)pow2[j * (kMaxShift + 1) + e];
    if (neg && r) r = c.mod[j].p - r;
    out[j * stride] = (int64_t)r;
  }
}

enum RunStatus : int { kRunDone = 0, kRunOverflow = 1, kRunNotDyadic = 2 };

// Outputs lo .. hi - 1 of the running sum of `x`, starting from `val`, the lowest-terms sum of
// every element before lo (lo a multiple of kRunChunk, hi at most one chunk further): the
// documented accumulator where it fits, else the lowest-terms value, as residues into
// out_num / out_den (row stride `stride`), with the largest bit lengths written folded into
// nb, db. kRunOverflow where a running value leaves the range (the host loop raises there).
C10_HOST_DEVICE inline int replay_running_sum(const Constants& c, const int32_t* pow2, const DyadicOperand& x,
                                              int64_t stride, int64_t lo, int64_t hi, DyadicValue val,
                                              int64_t* out_num, int64_t* out_den, int& nb, int& db) {
  DocumentedSum doc;
  doc.num = val.num;
  doc.exp = val.exp;
  for (int64_t k = lo; k < hi; ++k) {
    const SBig y = exact::crt_signed(c, x.den + k, stride, x.kd);
    const int e = exact::ubig_power_of_two(y.mag);
    if (e < 0) return kRunNotDyadic;
    const SBig n = exact::crt_signed(c, x.num + k, stride, x.kn);
    if (!running_add(c, val, n, e, y.neg)) return kRunOverflow;
    documented_add(doc, n, e, y.neg);
    const bool documented = doc.ok && doc.exp <= kMaxDenShift && exact::fits(c, doc.num);
    const SBig& on = documented ? doc.num : val.num;
    const int oe = documented ? doc.exp : val.exp;
    exact::residues_of(c, on, out_num + k, stride);
    pow2_residues(c, pow2, oe, documented && doc.den_neg, out_den + k, stride);
    nb = exact::kmax(nb, on.mag.bit_length());
    db = exact::kmax(db, oe + 1);
  }
  return kRunDone;
}

// ------------------------------------------------------------------ sums along an axis

// The sum of one row of a sum along an axis: its accumulator, and what the documented
// unreduced sum needs beyond it: that sum's denominator is the product of the row's
// denominators, +-2^exp_sum.
struct RowSum {
  DyadicAcc acc;
  int64_t exp_sum = 0;
  bool den_neg = false;
};

// Elements first .. first + m - 1 of x into s; false where one is not dyadic up to the scale
// (the row is then left to the host).
C10_HOST_DEVICE inline bool sum_dyadic_row(const Constants& c, const DyadicOperand& x, int64_t stride, int64_t first,
                                           int64_t m, int scale, RowSum& s) {
  s.acc.clear();
  s.exp_sum = 0;
  s.den_neg = false;
  for (int64_t k = first; k < first + m; ++k) {
    int e;
    bool neg;
    if (!add_dyadic_element(c, x.num + k, x.den + k, stride, x.kn, x.kd, scale, s.acc, e, neg)) return false;
    s.exp_sum += e;
    s.den_neg = s.den_neg != neg;
  }
  return true;
}

// The row's sum as the host's keep_unreduced leaves it: the documented fraction (the value
// times +-2^exp_sum over +-2^exp_sum) where that denominator and numerator fit, else lowest
// terms; its residues into out_num, out_den (row stride `stride`) and its bit lengths folded
// into nb, db. kRunOverflow where the value itself leaves the range.
C10_HOST_DEVICE inline int write_row_sum(const Constants& c, const int32_t* pow2, const RowSum& s, int scale,
                                         int64_t* out_num, int64_t* out_den, int64_t stride, int& nb, int& db) {
  DyadicValue v;
  if (!acc_lowest(c, s.acc, scale, v)) return kRunOverflow;
  SBig on = v.num;
  int oe = v.exp;
  bool oneg = false;
  // keep_unreduced's tests for a product of denominators +-2^exp_sum: exp_sum + 1 bits, held
  // while exp_sum <= kMaxDenShift; the value's 2^v.exp divides it, so the numerator is a shift.
  if (s.exp_sum + 1 <= exact::kCongruenceBits && s.exp_sum <= kMaxDenShift) {
    SBig doc = v.num;
    exact::ubig_shl(doc.mag, (int)s.exp_sum - v.exp);
    doc.neg = v.num.neg != s.den_neg && !doc.mag.is_zero();
    if (exact::fits(c, doc)) {
      on = doc;
      oe = (int)s.exp_sum;
      oneg = s.den_neg;
    }
  }
  exact::residues_of(c, on, out_num, stride);
  pow2_residues(c, pow2, oe, oneg, out_den, stride);
  nb = exact::kmax(nb, on.mag.bit_length());
  db = exact::kmax(db, oe + 1);
  return kRunDone;
}

}  // namespace korvex::kernels
