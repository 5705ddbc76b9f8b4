#include "compare/decide.h"

#include <ATen/Parallel.h>
#include <torch/csrc/utils/pybind.h>

#include <limits>

#include "exact/crt.h"
#include "exact/rounding.h"

namespace korvex::compare {

namespace py = pybind11;
using exact::u128;
using exact::u64;
using exact::UBig;

namespace {

bool is_power_of_two(const UBig& b) {
  for (int i = 0; i + 1 < b.n; ++i)
    if (b.w[i]) return false;
  return b.n > 0 && (b.w[b.n - 1] & (b.w[b.n - 1] - 1)) == 0;
}

// a >> s, known to fit one word.
u64 shifted_word(const UBig& a, int s) {
  const int li = s / 64, bi = s % 64;
  u64 v = a.w[li] >> bi;
  if (bi && li + 1 < exact::kLimbs) v |= a.w[li + 1] << (64 - bi);
  return v;
}

// x -= q * y, where q * y <= x.
void subtract_multiple(UBig& x, const UBig& y, u64 q) {
  if (q == 0) return;
  UBig prod = y, t;
  exact::ubig_mul_add_word(prod, q, 0);
  exact::ubig_sub(t, x, prod);
  x = t;
}

// a / b = (q + f) * 2^e with q of 62 or 63 bits and 0 <= f < 1; sticky says f > 0. That is
// 9 or more bits past a double's significand, enough to round it and a float32 correctly.
void scaled_quotient(const UBig& a, const UBig& b, u64& q, bool& sticky, int& e) {
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
  if (nb <= 64 && db <= 64) {
    // b >= 3 here, so the shift is never negative and a << s has at most 126 bits.
    const int s = 62 - nb + db;
    const u128 num = (u128)a.w[0] << s;
    q = (u64)(num / b.w[0]);
    sticky = (num % b.w[0]) != 0;
    e = -s;
    return;
  }
  // The quotient in three pieces, 25..27 bits and then 18 and 18, each small enough for the
  // double estimate of ubig_small_quotient.
  const int s = 26 - (nb - db);
  UBig x = a, y = b;
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

void load_rows(record::Record& r, at::Tensor& hn, at::Tensor& hd, int& kn, int& kd) {
  record::ensure_bits(r);
  const int64_t n = r.elements();
  kn = exact::primes_for_bits(r.num_bits);
  kd = exact::primes_for_bits(r.den_bits);
  // reshape copies what is not contiguous (a transposed record, say) into row-major order.
  hn = r.num.narrow(0, 0, kn).to(at::kCPU).reshape({kn, n}).contiguous();
  hd = r.denom.narrow(0, 0, kd).to(at::kCPU).reshape({kd, n}).contiguous();
}

}  // namespace

int order_exact(const Exact& a, const Exact& b) {
  SBig l, r;
  exact::sbig_mul(l, a.num, b.den);
  exact::sbig_mul(r, b.num, a.den);
  if (l.neg != r.neg) return l.neg ? -1 : 1;
  const int c = exact::ubig_cmp(l.mag, r.mag);
  return l.neg ? -c : c;
}

Image image_of(const SBig& n, const SBig& d) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr float inf_f = std::numeric_limits<float>::infinity();
  if (d.mag.is_zero()) {
    if (n.mag.is_zero()) return {std::nan(""), std::numeric_limits<float>::quiet_NaN(), false};
    return n.neg ? Image{-inf, -inf_f, true} : Image{inf, inf_f, true};
  }
  const bool neg = n.neg != d.neg;
  // The float keeps the sign that dividing the integers as floats gives (0 / -5 is -0.0),
  // as to_float does; the key is +0.0 so that all zeros tie.
  if (n.mag.is_zero()) return {0.0, neg ? -0.0f : 0.0f, true};
  u64 q;
  bool sticky;
  int e;
  scaled_quotient(n.mag, d.mag, q, sticky, e);
  const int bits = 64 - __builtin_clzll(q);

  const int sh = bits - 53;
  u64 m = q >> sh;
  const u64 rem = q & ((1ull << sh) - 1), half = 1ull << (sh - 1);
  m += rem > half || (rem == half && (sticky || (m & 1)));
  const double key = std::ldexp((double)m, e + sh);

  // The float32 from a 27-bit proxy, as exact::ratio_to_float argues it.
  const int sh2 = bits - 27;
  const u64 q27 = q >> sh2;
  const bool st2 = sticky || (q & ((1ull << sh2) - 1)) != 0;
  const double proxy = std::ldexp((double)((q27 << 1) | (st2 ? 1 : 0)), e + sh2 - 1);
  const float f = proxy >= 0x1p128 ? inf_f : (float)proxy;
  return {neg ? -key : key, neg ? -f : f, rem == 0 && !sticky};
}

Constant constant_of(const SBig& num, const SBig& den) {
  Constant c;
  c.image = image_of(num, den);
  c.value.num = num;
  c.value.den = den;
  if (den.neg) {
    c.value.den.neg = false;
    c.value.num.neg = !num.neg && !num.mag.is_zero();
  }
  return c;
}

Decided::Decided(record::Record& r, bool with_images) {
  load_rows(r, hn_, hd_, kn_, kd_);
  n_ = r.elements();
  keys = at::empty({n_}, at::kDouble);
  at::Tensor flags = at::empty({n_}, at::kByte);
  if (with_images) images = at::empty({n_}, at::kFloat);
  const int64_t *pn = hn_.data_ptr<int64_t>(), *pd = hd_.data_ptr<int64_t>();
  double* pk = keys.data_ptr<double>();
  std::uint8_t* pe = flags.data_ptr<std::uint8_t>();
  float* pf = with_images ? images.data_ptr<float>() : nullptr;
  const int64_t n = n_;
  const int kn = kn_, kd = kd_;
  {
    py::gil_scoped_release nogil;
    at::parallel_for(0, n, 512, [&](int64_t begin, int64_t end) {
      for (int64_t k = begin; k < end; ++k) {
        const Image im = image_of(exact::crt_signed(pn + k, n, kn), exact::crt_signed(pd + k, n, kd));
        pk[k] = im.key;
        pe[k] = im.exact;
        if (pf) pf[k] = im.f;
      }
    });
  }
  pk_ = pk;
  pe_ = pe;
  flags_ = flags;
}

Exact Decided::value(int64_t k) const {
  Exact v;
  v.num = exact::crt_signed(hn_.data_ptr<int64_t>() + k, n_, kn_);
  v.den = exact::crt_signed(hd_.data_ptr<int64_t>() + k, n_, kd_);
  if (v.den.neg) {
    v.den.neg = false;
    v.num.neg = !v.num.neg && !v.num.mag.is_zero();
  }
  return v;
}

int Decided::order(int64_t i, const Decided& other, int64_t j) const {
  const double x = pk_[i], y = other.pk_[j];
  if (std::isnan(x) || std::isnan(y)) return kUnordered;
  if (x != y) return x < y ? -1 : 1;
  if (pe_[i] && other.pe_[j]) return 0;
  return order_exact(value(i), other.value(j));
}

int Decided::order(int64_t i, const Constant& c) const {
  const double x = pk_[i], y = c.image.key;
  if (std::isnan(x) || std::isnan(y)) return kUnordered;
  if (x != y) return x < y ? -1 : 1;
  if (pe_[i] && c.image.exact) return 0;
  return order_exact(value(i), c.value);
}

at::Tensor exact_signs(record::Record& r) {
  at::Tensor hn, hd;
  int kn, kd;
  load_rows(r, hn, hd, kn, kd);
  const int64_t n = r.elements();
  at::Tensor out = at::empty({n}, at::kDouble);
  const int64_t *pn = hn.data_ptr<int64_t>(), *pd = hd.data_ptr<int64_t>();
  double* po = out.data_ptr<double>();
  {
    py::gil_scoped_release nogil;
    at::parallel_for(0, n, 1024, [&](int64_t begin, int64_t end) {
      for (int64_t k = begin; k < end; ++k) {
        const SBig a = exact::crt_signed(pn + k, n, kn), b = exact::crt_signed(pd + k, n, kd);
        const int sa = a.mag.is_zero() ? 0 : (a.neg ? -1 : 1);
        const int sb = b.mag.is_zero() ? 0 : (b.neg ? -1 : 1);
        po[k] = sb == 0 ? sa : sa * sb;
      }
    });
  }
  return out;
}

}  // namespace korvex::compare
