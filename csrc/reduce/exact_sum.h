// Exact sums of many fractions on the host.
//
// Power-of-two denominators (everything from_tensor makes) go into a fixed-point accumulator
// scaled by 2^scale, so adding one costs a shifted word add, no gcd. Other fractions are kept
// over a common denominator that grows by lcm only. A sum whose intermediates would leave the
// fixed host capacity is flagged; the caller then redoes it with Python integers.
#pragma once

#include "exact/bigint.h"

namespace korvex::reduce {

using exact::SBig;
using exact::UBig;

class ExactSum {
 public:
  // `scale`: the largest power of two expected in a denominator (larger ones take the lcm way).
  explicit ExactSum(int scale = 0);

  void add(const SBig& n, const SBig& d);
  void merge(const ExactSum& other);
  // The total in lowest terms (n/0 as +-1/0 or 0/0, the sign that the unreduced sum of the
  // documented fraction addition gives). False when an intermediate left the capacity.
  bool finish(SBig& n, SBig& d) const;
  bool overflowed() const { return overflow_; }

 private:
  void add_general(SBig n, UBig d);

  int scale_;
  UBig pos_, neg_;      // dyadic part: (pos - neg) / 2^scale
  SBig num_;            // general part: num / den, den > 0
  UBig den_{1};
  int zero_dens_ = 0;   // elements with denominator 0
  int zero_sign_ = 0;   // sign of the numerator of such an element
  bool neg_dens_ = false;  // parity of negative non-zero denominators
  bool overflow_ = false;
};

}  // namespace korvex::reduce
