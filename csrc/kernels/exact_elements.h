// Element functions of the exact jobs beyond field arithmetic: measuring bounds, rounding to
// float32, taking floats and integers in. Host-and-device code without exceptions or
// allocation: the CPU launchers and the CUDA kernels run these same lines, so CPU tests check
// what the device computes.
#pragma once

#include <c10/macros/Macros.h>

#include <cstdint>

#include "exact/crt.h"
#include "exact/moduli.h"
#include "exact/rounding.h"
#include "kernels/dyadic_element.h"

namespace korvex::kernels {

using exact::Constants;
using exact::kPrimes;
using u64 = std::uint64_t;

// Bit lengths of |numerator| and |denominator| of the element whose residues lie at
// pn[j * stride], pd[j * stride]; false (and nothing measured) when a residue lies outside
// [0, p), which no operation of the library produces.
C10_HOST_DEVICE inline bool measure_element(const Constants& c, const int64_t* pn, const int64_t* pd,
                                            int64_t stride, int& num_bits, int& den_bits) {
  for (int j = 0; j < kPrimes; ++j) {
    const int64_t x = pn[j * stride], y = pd[j * stride], p = (int64_t)c.mod[j].p;
    if (x < 0 || x >= p || y < 0 || y >= p) return false;
  }
  num_bits = exact::crt_signed(c, pn, stride).mag.bit_length();
  den_bits = exact::crt_signed(c, pd, stride).mag.bit_length();
  return true;
}

// The correctly rounded float32 of the element, reconstructed from its first kn (kd)
// residues, which the caller's bound says suffice.
namespace detail {

// The exponent e when hi:lo is 2^e, else -1.
C10_HOST_DEVICE inline int power_of_two_2w(u64 lo, u64 hi) {
  if (hi == 0) return lo && !(lo & (lo - 1)) ? exact::ctz64(lo) : -1;
  return lo == 0 && !(hi & (hi - 1)) ? 64 + exact::ctz64(hi) : -1;
}

C10_HOST_DEVICE inline int bit_length_2w(u64 lo, u64 hi) {
  return hi ? 128 - exact::clz64(hi) : (lo ? 64 - exact::clz64(lo) : 0);
}

C10_HOST_DEVICE inline exact::SBig sbig_2w(u64 lo, u64 hi, bool neg) {
  exact::SBig s;
  s.mag.w[0] = lo;
  s.mag.w[1] = hi;
  s.mag.n = 2;
  s.mag.trim();
  s.neg = neg;
  return s;
}

// 2^k as a double, -1022 <= k <= 1023.
C10_HOST_DEVICE inline double pow2_double(int k) {
  union {
    u64 u;
    double d;
  } x{(u64)(k + 1023) << 52};
  return x.d;
}

// ldexp(x, k) for |k| <= 2044 as one or two multiplications by exact powers of two, inline:
// the library call was a fifth of to_float. Where 2^k is not a normal double the first step,
// by 2^(k/2), is exact for every x >= 1, so the second rounds once, as ldexp does.
C10_HOST_DEVICE inline double scale_by_pow2(double x, int k) {
  if (k >= -1022 && k <= 1023) return x * pow2_double(k);
  const int k1 = k / 2;
  return x * pow2_double(k1) * pow2_double(k - k1);
}

// (hi:lo) >> sh for 0 < sh < 128, known to fit one word; sticky: whether a set bit was
// shifted out.
C10_HOST_DEVICE inline u64 shifted_2w(u64 lo, u64 hi, int sh, bool& sticky) {
  if (sh >= 64) {
    sticky = lo != 0 || (hi & ((1ull << (sh - 64)) - 1)) != 0;
    return hi >> (sh - 64);
  }
  sticky = (lo & ((1ull << sh) - 1)) != 0;
  return (lo >> sh) | (hi << (64 - sh));
}

// The float32 nearest to (hi:lo) / 2^e, hi:lo non-zero and below 2^124: the exact double where
// the numerator has at most 53 bits, else ratio_to_float's proxy of 27 bits and a sticky bit.
// Either is an exact double between 2^-123 and 2^124, whose conversion rounds as the value does.
C10_HOST_DEVICE inline float dyadic_to_float(u64 lo, u64 hi, int e, bool neg) {
  const int nb = bit_length_2w(lo, hi);
  double x;
  if (nb <= 53) {
    x = scale_by_pow2((double)lo, -e);
  } else {
    const int sh = nb - 27;
    bool sticky;
    const u64 q = shifted_2w(lo, hi, sh, sticky);
    x = scale_by_pow2((double)((q << 1) | (sticky ? 1 : 0)), sh - 1 - e);
  }
  const float f = (float)x;
  return neg ? -f : f;
}

}  // namespace detail

// n/d from two-word values: over a power of two without big integers (float-derived records).
C10_HOST_DEVICE inline float float_of_2w(u64 nl, u64 nh, bool nneg, u64 dl, u64 dh, bool dneg) {
  const int e = detail::power_of_two_2w(dl, dh);
  if (e >= 0 && (nl | nh)) return detail::dyadic_to_float(nl, nh, e, nneg != dneg);
  return exact::ratio_to_float(detail::sbig_2w(nl, nh, nneg), detail::sbig_2w(dl, dh, dneg));
}

C10_HOST_DEVICE inline float float_element(const Constants& c, const int64_t* pn, const int64_t* pd, int64_t stride,
                                           int kn, int kd) {
  if (kn <= 4 && kd <= 4) {
    u64 nl, nh, dl, dh;
    const bool nneg = exact::crt_signed_2w(c, pn, stride, kn, nl, nh);
    const bool dneg = exact::crt_signed_2w(c, pd, stride, kd, dl, dh);
    return float_of_2w(nl, nh, nneg, dl, dh, dneg);
  }
  return exact::ratio_to_float(exact::crt_signed(c, pn, stride, kn), exact::crt_signed(c, pd, stride, kd));
}

// ------------------------------------------------------------------ taking values in

// Exponents of two that a double can carry: 2^971 in a numerator, 2^1074 in a denominator.
constexpr int kMaxShift = 1074;
// A denominator 2^b fits while b <= 618; 2^619 is already past (M - 1)/2.
constexpr int kMaxDenShift = exact::kFitBits;

enum Fault : std::uint8_t { kNone = 0, kInfinite, kNaN, kOutOfRange };

// value = (neg ? -m : m) * 2^a / 2^b
struct Dyadic {
  u64 m;
  int a, b;
  bool neg;
};

C10_HOST_DEVICE inline u64 bits_of_double(double v) {
  union {
    double d;
    u64 u;
  } x{v};
  return x.u;
}

// The documented decomposition of a double; max_fit: the largest double not above (M - 1)/2.
C10_HOST_DEVICE inline Fault dyadic_of_double(double v, double max_fit, Dyadic& out) {
  const u64 bits = bits_of_double(v);
  const int biased = (int)((bits >> 52) & 2047);
  u64 m = bits & ((1ull << 52) - 1);
  out.neg = (bits >> 63) != 0;
  if (biased == 2047) {
    out = Dyadic{0, 0, 0, false};
    return m ? kNaN : kInfinite;
  }
  int e;
  if (biased == 0) {
    e = -1074;
  } else {
    m |= 1ull << 52;
    e = biased - 1075;
  }
  if (m == 0) e = 0;
  out.neg = out.neg && m != 0;
  if (e < -kMaxDenShift) {
    // Too small as documented (its denominator would be past the range); the same value in
    // lowest terms may still fit.
    const int t = exact::ctz64(m);
    m >>= t;
    e += t;
  }
  out.m = m;
  out.a = e > 0 ? e : 0;
  out.b = e < 0 ? -e : 0;
  if (e < -kMaxDenShift || (e > 0 && (v < 0 ? -v : v) > max_fit)) {
    out = Dyadic{0, 0, 0, false};
    return kOutOfRange;
  }
  return kNone;
}

// An integer as from_tensor takes it: mantissa and a common shift below 2^53, as the float
// decomposition of the same value would give.
C10_HOST_DEVICE inline void dyadic_of_integer(u64 mag, bool neg, Dyadic& out) {
  const int len = mag ? 64 - exact::clz64(mag) : 0;
  const int shift = mag && len < 53 ? 53 - len : 0;
  out = Dyadic{mag, shift, shift, neg && mag != 0};
}

// Bit lengths of the numerator and denominator the element will hold.
C10_HOST_DEVICE inline void dyadic_bits(const Dyadic& d, int& num_bits, int& den_bits) {
  num_bits = d.m ? 64 - exact::clz64(d.m) + d.a : 0;
  den_bits = d.b + 1;
}

// m mod p for any 64-bit m (Barrett takes operands below 2^62).
C10_HOST_DEVICE inline u64 reduce_word(const exact::ModP& mod, u64 m) {
  if (m < (1ull << 62)) return mod.reduce(m);
  const u64 hi = mod.reduce(m >> 31), lo = mod.reduce(m & ((1ull << 31) - 1));
  return mod.add(mod.mul(hi, mod.reduce(1ull << 31)), lo);
}

// The residues of the element for one prime; pw: that prime's row of 2^k mod p, k <= kMaxShift.
C10_HOST_DEVICE inline void dyadic_residues(const exact::ModP& mod, const int32_t* pw, const Dyadic& d, int64_t& rn,
                                            int64_t& rd) {
  const u64 m = d.m < (1ull << 62) ? d.m : reduce_word(mod, d.m);
  rn = (int64_t)scaled_residue(mod, m, (u64)pw[d.a], d.neg);
  rd = (int64_t)pw[d.b];
}

}  // namespace korvex::kernels

// ------------------------------------------------------------------ dyadic sums

namespace korvex::kernels {

// A fixed-point superaccumulator of sums of fractions m / 2^e, held at a common scale 2^scale
// as separate positive and negative parts, so that adding a term touches only its own limbs
// and the carry. Terms are below 2^619 * 2^618; with up to 2^64 of them the parts stay below
// 2^1301, inside the 22 limbs.
constexpr int kAccLimbs = 22;

struct DyadicAcc {
  u64 pos[kAccLimbs];
  u64 neg[kAccLimbs];
  C10_HOST_DEVICE void clear() {
    for (int i = 0; i < kAccLimbs; ++i) pos[i] = neg[i] = 0;
  }
};

// part += x * 2^shift, for a shift and magnitude the caller has checked against the limbs.
C10_HOST_DEVICE inline void acc_add_shifted(u64* part, const exact::UBig& x, int shift) {
  const int ls = shift / 64, bs = shift % 64;
  u64 carry = 0;
  int i = 0;
  for (; i <= x.n && i + ls < kAccLimbs; ++i) {
    const u64 lo = i < x.n ? x.w[i] : 0, below = i > 0 ? x.w[i - 1] : 0;
    const u64 word = bs ? (lo << bs) | (below >> (64 - bs)) : lo;
    part[i + ls] = exact::add_carry(part[i + ls], word, carry, carry);
  }
  for (int j = i + ls; carry && j < kAccLimbs; ++j) part[j] = exact::add_carry(part[j], 0, carry, carry);
}

// part += (hi:lo) * 2^shift, for a shift and magnitude the caller has checked against the limbs.
C10_HOST_DEVICE inline void acc_add_shifted_2w(u64* part, u64 lo, u64 hi, int shift) {
  const int ls = shift / 64, bs = shift % 64;
  const u64 w[3] = {lo << bs, bs ? (hi << bs) | (lo >> (64 - bs)) : hi, bs ? hi >> (64 - bs) : 0};
  u64 carry = 0;
  int i = 0;
  for (; i < 3 && ls + i < kAccLimbs; ++i) part[ls + i] = exact::add_carry(part[ls + i], w[i], carry, carry);
  for (int j = ls + i; carry && j < kAccLimbs; ++j) part[j] = exact::add_carry(part[j], 0, carry, carry);
}

C10_HOST_DEVICE inline void acc_merge(DyadicAcc& a, const DyadicAcc& b) {
  u64 cp = 0, cn = 0;
  for (int i = 0; i < kAccLimbs; ++i) {
    a.pos[i] = exact::add_carry(a.pos[i], b.pos[i], cp, cp);
    a.neg[i] = exact::add_carry(a.neg[i], b.neg[i], cn, cn);
  }
}

// Adds n/d given as two-word values, as add_dyadic_element() does.
C10_HOST_DEVICE inline bool add_dyadic_2w(u64 nl, u64 nh, bool nneg, u64 dl, u64 dh, bool dneg, int scale,
                                          DyadicAcc& acc, int& e) {
  e = detail::power_of_two_2w(dl, dh);
  if (e < 0 || e > scale) return false;
  if (!(nl | nh)) return true;
  const int shift = scale - e;
  if (detail::bit_length_2w(nl, nh) + shift > 64 * (kAccLimbs - 1)) return false;
  acc_add_shifted_2w(nneg != dneg ? acc.neg : acc.pos, nl, nh, shift);
  return true;
}

// add_dyadic_element() for KN, KD <= 4 leading residues, one instance per job as for floats.
template <int KN, int KD>
C10_HOST_DEVICE inline bool add_dyadic_element_2w(const Constants& c, const int64_t* pn, const int64_t* pd,
                                                  int64_t stride, int scale, DyadicAcc& acc) {
  u64 nl, nh, dl, dh;
  const bool dneg = exact::detail::crt_signed_2w_k<KD>(c, pd, stride, dl, dh);
  const bool nneg = exact::detail::crt_signed_2w_k<KN>(c, pn, stride, nl, nh);
  int e;
  return add_dyadic_2w(nl, nh, nneg, dl, dh, dneg, scale, acc, e);
}

// Adds the element n/d (its first kn, kd residues hold it) when d is +-2^e with e <= scale;
// false, and nothing added, for any other denominator (zero included): such a sum is left to
// the general host path. Also gives the exponent e and the sign of the denominator.
C10_HOST_DEVICE inline bool add_dyadic_element(const Constants& c, const int64_t* pn, const int64_t* pd,
                                               int64_t stride, int kn, int kd, int scale, DyadicAcc& acc, int& e,
                                               bool& den_neg) {
  if (kn <= 4 && kd <= 4) {
    // Float-derived records: both values in two words, so no big integer is formed at all.
    u64 nl, nh, dl, dh;
    den_neg = exact::crt_signed_2w(c, pd, stride, kd, dl, dh);
    const bool nneg = exact::crt_signed_2w(c, pn, stride, kn, nl, nh);
    return add_dyadic_2w(nl, nh, nneg, dl, dh, den_neg, scale, acc, e);
  }
  const exact::SBig d = exact::crt_signed(c, pd, stride, kd);
  e = exact::ubig_power_of_two(d.mag);
  den_neg = d.neg;
  if (e < 0 || e > scale) return false;
  const exact::SBig n = exact::crt_signed(c, pn, stride, kn);
  if (n.mag.is_zero()) return true;
  const int shift = scale - e;
  if (n.mag.bit_length() + shift > 64 * (kAccLimbs - 1)) return false;
  acc_add_shifted(n.neg != d.neg ? acc.neg : acc.pos, n.mag, shift);
  return true;
}

C10_HOST_DEVICE inline bool add_dyadic_element(const Constants& c, const int64_t* pn, const int64_t* pd,
                                               int64_t stride, int kn, int kd, int scale, DyadicAcc& acc) {
  int e;
  bool den_neg;
  return add_dyadic_element(c, pn, pd, stride, kn, kd, scale, acc, e, den_neg);
}

}  // namespace korvex::kernels

// ------------------------------------------------------------------ order keys

namespace korvex::kernels {

// What the order decisions read of an element: the correctly rounded double (a monotone
// image, so differing keys order their elements), the correctly rounded float32, and whether
// the double is the value itself. n/0 keys as +-inf (exact), 0/0 as nan; every zero keys +0.0.
struct KeyImage {
  double key;
  float f;
  bool exact;
};

namespace detail {

C10_HOST_DEVICE inline bool is_power_of_two(const exact::UBig& b) {
  for (int i = 0; i + 1 < b.n; ++i)
    if (b.w[i]) return false;
  return b.n > 0 && (b.w[b.n - 1] & (b.w[b.n - 1] - 1)) == 0;
}

// a >> s, known to fit one word.
C10_HOST_DEVICE inline u64 shifted_word(const exact::UBig& a, int s) {
  const int li = s / 64, bi = s % 64;
  u64 v = a.w[li] >> bi;
  if (bi && li + 1 < exact::kLimbs) v |= a.w[li + 1] << (64 - bi);
  return v;
}

// x -= q * y, where q * y <= x.
C10_HOST_DEVICE inline void subtract_multiple(exact::UBig& x, const exact::UBig& y, u64 q) {
  if (q == 0) return;
  exact::UBig prod = y, t;
  exact::ubig_mul_add_word(prod, q, 0);
  exact::ubig_sub(t, x, prod);
  x = t;
}

// a / b = (q + f) * 2^e with q of 62 or 63 bits and 0 <= f < 1; sticky says f > 0. That is
// 9 or more bits past a double's significand, enough to round it and a float32 correctly.
C10_HOST_DEVICE inline void scaled_quotient(const exact::UBig& a, const exact::UBig& b, u64& q, bool& sticky,
                                            int& e) {
  const int nb = a.bit_length(), db = b.bit_length();
  if (is_power_of_two(b)) {
    // Every float-derived record lands here: its denominators are powers of two.
    const int k = db - 1;
    if (nb <= 63) {
      q = a.w[0] << (63 - nb);
      sticky = false;
      e = -k - (63 - nb);
    } else {
      const int sh = nb - 63;
      q = shifted_word(a, sh);
      sticky = exact::ubig_ctz(a) < sh;
      e = sh - k;
    }
    return;
  }
#ifndef __CUDA_ARCH__
  if (nb <= 64 && db <= 64) {
    // b >= 3 here, so the shift is never negative and a << s has at most 126 bits; one
    // 128-bit division, which the device lacks as an instruction.
    const int s = 62 - nb + db;
    const exact::u128 num = (exact::u128)a.w[0] << s;
    q = (u64)(num / b.w[0]);
    sticky = (num % b.w[0]) != 0;
    e = -s;
    return;
  }
#endif
  // The quotient in three pieces, 25..27 bits and then 18 and 18, each small enough for the
  // double estimate of ubig_small_quotient.
  const int s = 26 - (nb - db);
  exact::UBig x = a, y = b;
  if (s >= 0) exact::ubig_shl(x, s);
  else exact::ubig_shl(y, -s);
  bool st;
  u64 part = exact::ubig_small_quotient(x, y, st);
  q = part;
  for (int step = 0; step < 2; ++step) {
    subtract_multiple(x, y, part);
    exact::ubig_shl(x, 18);
    part = exact::ubig_small_quotient(x, y, st);
    q = (q << 18) | part;
  }
  sticky = st;
  e = -(s + 36);
}

}  // namespace detail

// The key, float32 and exactness of (neg ? -1 : 1) (q + f) 2^e, q of 62 or 63 bits, sticky
// saying f > 0.
C10_HOST_DEVICE inline KeyImage key_of_quotient(u64 q, bool sticky, int e, bool neg) {
  const float inf_f = exact::float_of_bits(0x7f800000u);
  const int bits = 64 - exact::clz64(q);

  const int sh = bits - 53;
  u64 m = q >> sh;
  const u64 rem = q & ((1ull << sh) - 1), half = 1ull << (sh - 1);
  m += rem > half || (rem == half && (sticky || (m & 1)));
  const double key = detail::scale_by_pow2((double)m, e + sh);

  // The float32 from a 27-bit proxy, as exact::ratio_to_float argues it.
  const int sh2 = bits - 27;
  const u64 q27 = q >> sh2;
  const bool st2 = sticky || (q & ((1ull << sh2) - 1)) != 0;
  const double proxy = detail::scale_by_pow2((double)((q27 << 1) | (st2 ? 1 : 0)), e + sh2 - 1);
  const float f = proxy >= 0x1p128 ? inf_f : (float)proxy;
  return {neg ? -key : key, neg ? -f : f, rem == 0 && !sticky};
}

C10_HOST_DEVICE inline KeyImage key_image(const exact::SBig& n, const exact::SBig& d) {
  const double inf = (double)exact::float_of_bits(0x7f800000u);
  const float inf_f = exact::float_of_bits(0x7f800000u);
  if (d.mag.is_zero()) {
    if (n.mag.is_zero()) return {(double)exact::float_of_bits(0x7fc00000u), exact::float_of_bits(0x7fc00000u), false};
    return n.neg ? KeyImage{-inf, -inf_f, true} : KeyImage{inf, inf_f, true};
  }
  const bool neg = n.neg != d.neg;
  // The float keeps the sign that dividing the integers as floats gives (0 / -5 is -0.0),
  // as to_float does; the key is +0.0 so that all zeros tie.
  if (n.mag.is_zero()) return {0.0, neg ? -0.0f : 0.0f, true};
  u64 q;
  bool sticky;
  int e;
  detail::scaled_quotient(n.mag, d.mag, q, sticky, e);
  return key_of_quotient(q, sticky, e, neg);
}

// key_image of values of at most four residues (below 2^124 in magnitude): over a power of
// two without big integers (float-derived records), as float_of_2w.
C10_HOST_DEVICE inline KeyImage key_image_2w(u64 nl, u64 nh, bool nneg, u64 dl, u64 dh, bool dneg) {
  const int k = detail::power_of_two_2w(dl, dh);
  if (k < 0 || !(nl | nh)) return key_image(detail::sbig_2w(nl, nh, nneg), detail::sbig_2w(dl, dh, dneg));
  const int nb = detail::bit_length_2w(nl, nh);
  u64 q;
  bool sticky;
  int e;
  if (nb <= 63) {
    q = nl << (63 - nb);
    sticky = false;
    e = -k - (63 - nb);
  } else {
    const int sh = nb - 63;
    q = detail::shifted_2w(nl, nh, sh, sticky);
    e = sh - k;
  }
  return key_of_quotient(q, sticky, e, nneg != dneg);
}

// Returned by the exact order when either side is 0/0: unordered, like a float nan.
constexpr int kUnorderedPair = 2;

// The order two keys give, or kUnorderedPair where either is nan; `tie` where equal keys do
// not settle it, because one of them is not its value itself.
C10_HOST_DEVICE inline int order_of_keys(double x, double y, bool x_exact, bool y_exact, bool& tie) {
  tie = x == y && !(x_exact && y_exact);
  if (x != x || y != y) return kUnorderedPair;
  return (x > y) - (x < y);
}

// -1, 0 or 1 as an/ad is below, equal to or above bn/bd; a zero denominator makes the value
// the infinity of its numerator's sign, as its key shows it.
C10_HOST_DEVICE inline int order_fractions(exact::SBig an, exact::SBig ad, exact::SBig bn, exact::SBig bd) {
  if ((an.mag.is_zero() && ad.mag.is_zero()) || (bn.mag.is_zero() && bd.mag.is_zero())) return kUnorderedPair;
  // Cross products cannot tell infinities apart (both are 0), so those order by sign first.
  const int ia = ad.mag.is_zero() ? (an.neg ? -1 : 1) : 0, ib = bd.mag.is_zero() ? (bn.neg ? -1 : 1) : 0;
  if (ia || ib) return ia == ib ? 0 : (ia < ib ? -1 : 1);
  // With positive denominators, cross-multiplying keeps the order.
  if (ad.neg) an.neg = !an.neg && !an.mag.is_zero();
  if (bd.neg) bn.neg = !bn.neg && !bn.mag.is_zero();
  ad.neg = bd.neg = false;
  exact::SBig l, r;
  exact::sbig_mul(l, an, bd);
  exact::sbig_mul(r, bn, ad);
  if (l.neg != r.neg) return l.neg ? -1 : 1;
  const int c = exact::ubig_cmp(l.mag, r.mag);
  return l.neg ? -c : c;
}

// The exact order of element a (its first kna, kda residues at stride sa) against element b.
C10_HOST_DEVICE inline int order_pair_element(const Constants& c, const int64_t* an, const int64_t* ad, int64_t sa,
                                              int kna, int kda, const int64_t* bn, const int64_t* bd, int64_t sb,
                                              int knb, int kdb) {
  return order_fractions(exact::crt_signed(c, an, sa, kna), exact::crt_signed(c, ad, sa, kda),
                         exact::crt_signed(c, bn, sb, knb), exact::crt_signed(c, bd, sb, kdb));
}

C10_HOST_DEVICE inline KeyImage key_element(const Constants& c, const int64_t* pn, const int64_t* pd, int64_t stride,
                                            int kn, int kd) {
  if (kn <= 4 && kd <= 4) {
    u64 nl, nh, dl, dh;
    const bool nneg = exact::crt_signed_2w(c, pn, stride, kn, nl, nh);
    const bool dneg = exact::crt_signed_2w(c, pd, stride, kd, dl, dh);
    return key_image_2w(nl, nh, nneg, dl, dh, dneg);
  }
  return key_image(exact::crt_signed(c, pn, stride, kn), exact::crt_signed(c, pd, stride, kd));
}

}  // namespace korvex::kernels
