#include "reduce/exact_sum.h"

#include "exact/crt.h"

namespace korvex::reduce {

using namespace exact;

namespace {

// Above this the general part is brought to lowest terms before going on.
constexpr int kTidyBits = 900;

}  // namespace

ExactSum::ExactSum(int scale) : scale_(std::max(scale, 0)) {}

void ExactSum::add(const SBig& n, const SBig& d) {
  if (d.mag.is_zero()) {
    ++zero_dens_;
    zero_sign_ = n.mag.is_zero() ? 0 : (n.neg ? -1 : 1);
    return;
  }
  if (d.neg) neg_dens_ = !neg_dens_;
  if (n.mag.is_zero()) return;
  const bool neg = n.neg != d.neg;
  const int e = ubig_power_of_two(d.mag);
  if (e >= 0 && e <= scale_ && n.mag.bit_length() + scale_ + 1 < kCapacityBits) {
    UBig& acc = neg ? neg_ : pos_;
    if (acc.bit_length() + 2 >= kCapacityBits) {
      overflow_ = true;
      return;
    }
    ubig_add_shifted(acc, n.mag, scale_ - e);
    return;
  }
  SBig sn = n;
  sn.neg = neg;
  add_general(sn, d.mag);
}

void ExactSum::add_general(SBig n, UBig d) {
  if (overflow_) return;
  SBig t1, t2;
  if (ubig_cmp(d, den_) == 0) {
    sbig_add(t1, num_, n, false);
    num_ = t1;
  } else {
    const UBig g = ubig_gcd(den_, d);
    const UBig dg = ubig_divexact(d, g), Dg = ubig_divexact(den_, g);
    if (num_.mag.bit_length() + dg.bit_length() >= kCapacityBits ||
        n.mag.bit_length() + Dg.bit_length() >= kCapacityBits || Dg.bit_length() + d.bit_length() >= kCapacityBits) {
      overflow_ = true;
      return;
    }
    SBig a, b;
    a.mag = dg;
    b.mag = Dg;
    sbig_mul(t1, num_, a);
    sbig_mul(t2, n, b);
    sbig_add(num_, t1, t2, false);
    UBig nd;
    ubig_mul(nd, Dg, d);
    den_ = nd;
  }
  if (num_.mag.bit_length() > kTidyBits || den_.bit_length() > kTidyBits) {
    SBig sd;
    sd.mag = den_;
    reduce_fraction(num_, sd);
    den_ = sd.mag;
    if (num_.mag.bit_length() > kTidyBits || den_.bit_length() > kTidyBits) overflow_ = true;
  }
}

void ExactSum::merge(const ExactSum& o) {
  overflow_ = overflow_ || o.overflow_;
  zero_dens_ += o.zero_dens_;
  if (o.zero_dens_) zero_sign_ = o.zero_sign_;
  neg_dens_ = neg_dens_ != o.neg_dens_;
  if (overflow_) return;
  if (o.scale_ == scale_) {
    if (pos_.bit_length() + 2 >= kCapacityBits || neg_.bit_length() + 2 >= kCapacityBits) {
      overflow_ = true;
      return;
    }
    ubig_add(pos_, UBig(pos_), o.pos_);
    ubig_add(neg_, UBig(neg_), o.neg_);
  } else {
    SBig d;
    d.mag = UBig(1);
    ubig_shl(d.mag, o.scale_);
    SBig p, q;
    p.mag = o.pos_;
    q.mag = o.neg_;
    q.neg = !q.mag.is_zero();
    if (!p.mag.is_zero()) add_general(p, d.mag);
    if (!q.mag.is_zero()) add_general(q, d.mag);
  }
  if (!o.num_.mag.is_zero()) add_general(o.num_, o.den_);
}

bool ExactSum::finish(SBig& n, SBig& d) const {
  if (zero_dens_) {
    // The unreduced numerator is the zero-denominator element's numerator times every other
    // denominator: only its sign survives, and two zero denominators leave nothing.
    int sign = zero_dens_ == 1 ? zero_sign_ : 0;
    if (neg_dens_) sign = -sign;
    n = SBig();
    d = SBig();
    if (sign) {
      n.mag = UBig(1);
      n.neg = sign < 0;
    }
    return true;
  }
  if (overflow_) return false;
  ExactSum t = *this;
  SBig dy;
  if (ubig_cmp(pos_, neg_) >= 0) {
    ubig_sub(dy.mag, pos_, neg_);
  } else {
    ubig_sub(dy.mag, neg_, pos_);
    dy.neg = true;
  }
  if (!dy.mag.is_zero()) {
    UBig two(1);
    ubig_shl(two, scale_);
    t.add_general(dy, two);
    if (t.overflow_) return false;
  }
  n = t.num_;
  d = SBig();
  d.mag = t.den_;
  reduce_fraction(n, d);
  return true;
}

}  // namespace korvex::reduce
