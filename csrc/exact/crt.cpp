#include "exact/crt.h"

#include <cassert>

namespace korvex::exact {

std::uint64_t powmod(std::uint64_t b, std::uint64_t e, std::uint64_t p) {
  std::uint64_t r = 1 % p;
  b %= p;
  while (e) {
    if (e & 1) r = (std::uint64_t)((u128)r * b % p);
    b = (std::uint64_t)((u128)b * b % p);
    e >>= 1;
  }
  return r;
}

static Constants make_constants() {
  Constants c;
  for (int j = 0; j < kPrimes; ++j) {
    const std::uint64_t p = (std::uint64_t)kModuli[j];
    c.mod[j] = ModP{p, (std::uint64_t)(((u128)1 << 62) / p)};
  }
  for (int i = 0; i < kPrimes; ++i)
    for (int j = 0; j < kPrimes; ++j)
      c.inv[i][j] = i < j ? powmod((std::uint64_t)kModuli[i], (std::uint64_t)kModuli[j] - 2,
                                   (std::uint64_t)kModuli[j])
                          : 0;
  c.prefix_M[0] = UBig(1);
  for (int k = 1; k <= kPrimes; ++k) {
    c.prefix_M[k] = c.prefix_M[k - 1];
    ubig_mul_add_word(c.prefix_M[k], (std::uint64_t)kModuli[k - 1], 0);
    c.prefix_half[k] = c.prefix_M[k];
    ubig_shr(c.prefix_half[k], 1);  // the product is odd: floor(P/2) == (P-1)/2
    // P >= 2^(L-1) for a product of L bits, so (P-1)/2 >= 2^(L-2) - 1/2: L-2 bits always fit.
    c.prefix_fit_bits[k] = c.prefix_M[k].bit_length() - 2;
  }
  c.prefix_fit_bits[0] = 0;
  for (int j = 0; j < kPrimes; ++j) {
    const std::uint64_t p = (std::uint64_t)kModuli[j];
    for (int k = 0; k < Constants::kChunks; ++k) c.chunk_pow[j][k] = powmod(2, 30 * (std::uint64_t)k, p);
    c.two62[j] = powmod(2, 62, p);
  }
  c.M = c.prefix_M[kPrimes];
  c.half_M = c.prefix_half[kPrimes];
  return c;
}

const Constants& constants() {
  static const Constants c = make_constants();
  return c;
}

UBig crt_unsigned(const std::int64_t* residues, std::int64_t stride, int k) {
  assert(k >= 1 && k <= kPrimes);
  const Constants& c = constants();
  std::uint64_t v[kPrimes];
  for (int j = 0; j < k; ++j) {
    const ModP& m = c.mod[j];
    std::uint64_t t = (std::uint64_t)residues[j * stride];
    // v[i] < p_i < 2 p_j, so one subtraction brings it below p_j
    for (int i = 0; i < j; ++i) t = m.mul(m.sub(t, v[i] >= m.p ? v[i] - m.p : v[i]), c.inv[i][j]);
    v[j] = t;
  }
  UBig x(v[k - 1]);
  for (int j = k - 2; j >= 0; --j) {
    ubig_mul_add_word(x, (std::uint64_t)kModuli[j], v[j]);
  }
  return x;
}

SBig crt_signed(const std::int64_t* residues, std::int64_t stride, int k) {
  const Constants& c = constants();
  SBig s;
  if (k <= 4) {
    // Values of up to 122 bits, the common case, in two words without the big-integer loops.
    assert(k >= 1);
    std::uint64_t v[4] = {};
    for (int j = 0; j < k; ++j) {
      const ModP& m = c.mod[j];
      std::uint64_t t = (std::uint64_t)residues[j * stride];
      for (int i = 0; i < j; ++i) t = m.mul(m.sub(t, v[i] >= m.p ? v[i] - m.p : v[i]), c.inv[i][j]);
      v[j] = t;
    }
    u128 x = v[k - 1];
    for (int j = k - 2; j >= 0; --j) x = x * (std::uint64_t)kModuli[j] + v[j];
    const UBig& ph = c.prefix_half[k];
    const u128 half = ((u128)(ph.n > 1 ? ph.w[1] : 0) << 64) | ph.w[0];
    if (x > half) {
      const UBig& pm = c.prefix_M[k];
      x = (((u128)(pm.n > 1 ? pm.w[1] : 0) << 64) | pm.w[0]) - x;
      s.neg = true;
    }
    s.mag.w[0] = (std::uint64_t)x;
    s.mag.w[1] = (std::uint64_t)(x >> 64);
    s.mag.n = 2;
    s.mag.trim();
    return s;
  }
  s.mag = crt_unsigned(residues, stride, k);
  if (ubig_cmp(s.mag, c.prefix_half[k]) > 0) {
    UBig t;
    ubig_sub(t, c.prefix_M[k], s.mag);
    s.mag = t;
    s.neg = true;
  }
  return s;
}

void residues_of(const SBig& x, std::int64_t* out, std::int64_t stride, int k) {
  const Constants& c = constants();
  if (x.mag.over) {
    // Callers check `fits` first; a value past the capacity has no residues to give.
    for (int j = 0; j < k; ++j) out[j * stride] = 0;
    return;
  }
  const int bits = x.mag.bit_length();
  const int chunks = (bits + 29) / 30;
  // The 30-bit chunks once; then per prime a sum of independent products chunk * 2^(30c) mod p
  // (each below 2^61, at most 52 of them) in 128 bits and one reduction at the end.
  std::uint64_t ch[Constants::kChunks];
  for (int q = 0; q < chunks; ++q) {
    const int pos = 30 * q, li = pos / 64, bi = pos % 64;
    std::uint64_t chunk = x.mag.w[li] >> bi;
    if (bi > 34 && li + 1 < kLimbs) chunk |= x.mag.w[li + 1] << (64 - bi);
    ch[q] = chunk & ((1u << 30) - 1);
  }
  for (int j = 0; j < k; ++j) {
    const ModP& m = c.mod[j];
    const std::uint64_t* pw = c.chunk_pow[j].data();
    u128 acc = 0;
    for (int q = 0; q < chunks; ++q) acc += (u128)(ch[q] * pw[q]);
    const std::uint64_t lo = (std::uint64_t)acc & ((1ull << 62) - 1), hi = (std::uint64_t)(acc >> 62);
    std::uint64_t r = m.add(m.reduce(lo), m.mul(m.reduce(hi), c.two62[j]));
    if (x.neg && r) r = m.p - r;
    out[j * stride] = (std::int64_t)r;
  }
}

void reduce_fraction(SBig& n, SBig& d) {
  UBig g = ubig_gcd(n.mag, d.mag);
  if (!g.is_zero() && !g.is_one()) {
    n.mag = ubig_divexact(n.mag, g);
    d.mag = ubig_divexact(d.mag, g);
  }
  if (d.neg) {
    d.neg = false;
    n.neg = !n.neg && !n.mag.is_zero();
  }
}

}  // namespace korvex::exact
