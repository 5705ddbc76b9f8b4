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
C10_HOST_DEVICE inline float float_element(const Constants& c, const int64_t* pn, const int64_t* pd, int64_t stride,
                                           int kn, int kd) {
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
  u64 r = mod.mul(reduce_word(mod, d.m), (u64)pw[d.a]);
  if (d.neg && r) r = mod.p - r;
  rn = (int64_t)r;
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

C10_HOST_DEVICE inline void acc_merge(DyadicAcc& a, const DyadicAcc& b) {
  u64 cp = 0, cn = 0;
  for (int i = 0; i < kAccLimbs; ++i) {
    a.pos[i] = exact::add_carry(a.pos[i], b.pos[i], cp, cp);
    a.neg[i] = exact::add_carry(a.neg[i], b.neg[i], cn, cn);
  }
}

// Adds the element n/d (its first kn, kd residues hold it) when d is +-2^e with e <= scale;
// false, and nothing added, for any other denominator (zero included): such a sum is left to
// the general host path.
C10_HOST_DEVICE inline bool add_dyadic_element(const Constants& c, const int64_t* pn, const int64_t* pd,
                                               int64_t stride, int kn, int kd, int scale, DyadicAcc& acc) {
  const exact::SBig d = exact::crt_signed(c, pd, stride, kd);
  const int e = exact::ubig_power_of_two(d.mag);
  if (e < 0 || e > scale) return false;
  const exact::SBig n = exact::crt_signed(c, pn, stride, kn);
  if (n.mag.is_zero()) return true;
  const int shift = scale - e;
  if (n.mag.bit_length() + shift > 64 * (kAccLimbs - 1)) return false;
  acc_add_shifted(n.neg != d.neg ? acc.neg : acc.pos, n.mag, shift);
  return true;
}

}  // namespace korvex::kernels
