// Fractions kept in lowest terms step by step, for sequential exact work on the host.
#pragma once

#include <algorithm>

#include "exact/crt.h"

namespace korvex::exact {

// N/D (lowest terms) times n/d, kept in lowest terms by cancelling across before multiplying.
// False when the product would leave the host capacity.
inline bool mul_lowest(SBig& N, SBig& D, const SBig& n, const SBig& d) {
  SBig a = n, b = d;
  UBig g1 = ubig_gcd(N.mag, b.mag), g2 = ubig_gcd(a.mag, D.mag);
  if (!g1.is_zero() && !g1.is_one()) {
    N.mag = ubig_divexact(N.mag, g1);
    b.mag = ubig_divexact(b.mag, g1);
  }
  if (!g2.is_zero() && !g2.is_one()) {
    a.mag = ubig_divexact(a.mag, g2);
    D.mag = ubig_divexact(D.mag, g2);
  }
  if (N.mag.bit_length() + a.mag.bit_length() >= kCapacityBits ||
      D.mag.bit_length() + b.mag.bit_length() >= kCapacityBits)
    return false;
  SBig x, y;
  sbig_mul(x, N, a);
  sbig_mul(y, D, b);
  N = x;
  D = y;
  reduce_fraction(N, D);
  return true;
}

// N/D + n/d in lowest terms. The cross products are bounded by the operands' bit lengths,
// checked first: false (and N/D left as it was) when they would leave the host capacity.
inline bool add_lowest(SBig& N, SBig& D, const SBig& n, const SBig& d) {
  const int cross = std::max(N.mag.bit_length() + d.mag.bit_length(), D.mag.bit_length() + n.mag.bit_length());
  if (cross + 1 >= kCapacityBits || D.mag.bit_length() + d.mag.bit_length() >= kCapacityBits) return false;
  SBig t1, t2, s, dd;
  sbig_mul(t1, N, d);
  sbig_mul(t2, D, n);
  sbig_add(s, t1, t2, false);
  sbig_mul(dd, D, d);
  N = s;
  D = dd;
  reduce_fraction(N, D);
  return true;
}

}  // namespace korvex::exact
