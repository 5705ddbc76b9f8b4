// Correct rounding of an exact fraction to float32.
//
// The quotient is taken to 26..27 significant bits plus a sticky bit, which is all that
// round-to-nearest-even at 24 bits needs: the proxy (2q + sticky) * 2^-(s+1) lies strictly
// inside the same interval between tie points as the exact value, and it is an exact double,
// so the hardware's double -> float conversion rounds it as the exact value would round.
#pragma once

#include <c10/macros/Macros.h>

#include <cmath>

#include "exact/bigint.h"

namespace korvex::exact {

// floor(a / b) for a, b > 0 with a / b < 2^27, and whether the division left a remainder.
// The double estimate is off by at most one, so one correction step in each direction settles it.
C10_HOST_DEVICE inline u64 ubig_small_quotient(const UBig& a, const UBig& b, bool& sticky) {
  auto approx = [](const UBig& x, int& exp2) {
    const int bits = x.bit_length();
    UBig top = x;
    exp2 = kmax(bits - 64, 0);
    ubig_shr(top, exp2);
    return (double)top.w[0];
  };
  int ea, eb;
  const double qa = approx(a, ea), qb = approx(b, eb);
  double est = ::ldexp(qa / qb, ea - eb);
  u64 q = est < 1.0 ? 0 : (u64)est;
  UBig prod = b;
  if (q == 0) prod = UBig();
  else ubig_mul_add_word(prod, q, 0);
  UBig t;
  while (ubig_cmp(prod, a) > 0) {
    ubig_sub(t, prod, b);
    prod = t;
    --q;
  }
  while (true) {
    ubig_add(t, prod, b);
    if (ubig_cmp(t, a) > 0) break;
    prod = t;
    ++q;
  }
  sticky = ubig_cmp(prod, a) != 0;
  return q;
}

// The float32 nearest to n/d (ties to even); n/0 is +-inf, 0/0 is nan. A zero numerator keeps
// the sign that dividing the two integers as floats gives.
C10_HOST_DEVICE inline float float_of_bits(std::uint32_t bits) {
  union {
    std::uint32_t u;
    float f;
  } v{bits};
  return v.f;
}

C10_HOST_DEVICE inline float ratio_to_float(const SBig& n, const SBig& d) {
  const bool neg = n.neg != d.neg;
  const float inf = float_of_bits(0x7f800000u);
  if (d.mag.is_zero()) {
    if (n.mag.is_zero()) return float_of_bits(0x7fc00000u);
    return n.neg ? -inf : inf;
  }
  if (n.mag.is_zero()) return neg ? -0.0f : 0.0f;
  const int nb = n.mag.bit_length(), db = d.mag.bit_length();
  // n * 2^s / d lies in [2^25, 2^27)
  const int s = 26 - (nb - db);
  u64 q;
  bool sticky;
#ifndef __CUDA_ARCH__
  // Both in one word: one 128-bit division, which the device lacks as an instruction.
  if (nb <= 64 && db <= 64) {
    using u128 = unsigned __int128;
    const u64 a = n.mag.w[0], b = d.mag.w[0];
    u128 num;
    bool lost = false;
    if (s >= 0) {
      num = (u128)a << s;
    } else {
      num = a >> -s;
      lost = (a & ((1ull << -s) - 1)) != 0;
    }
    q = (u64)(num / b);
    sticky = lost || (num % b) != 0;
  } else {
    UBig a = n.mag, b = d.mag;
    if (s >= 0) ubig_shl(a, s);
    else ubig_shl(b, -s);
    q = ubig_small_quotient(a, b, sticky);
  }
#else
  UBig a = n.mag, b = d.mag;
  if (s >= 0) ubig_shl(a, s);
  else ubig_shl(b, -s);
  q = ubig_small_quotient(a, b, sticky);
#endif
  const double proxy = ::ldexp((double)((q << 1) | (sticky ? 1 : 0)), -s - 1);
  // Past 2^128 every float32 rounding is infinite; converting such a double is left undefined
  // by the language, so it is not done.
  const float f = proxy >= 0x1p128 ? inf : (float)proxy;
  return neg ? -f : f;
}

}  // namespace korvex::exact
