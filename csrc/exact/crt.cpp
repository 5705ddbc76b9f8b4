#include "exact/crt.h"

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
    for (int k = 0; k < Constants::kChunks; ++k) c.chunk_pow[j][k] = powmod(2, (std::uint64_t)Constants::kChunkBits * k, p);
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

void reduce_fraction(SBig& n, SBig& d) { reduce_fraction_by(n, d, ubig_gcd(n.mag, d.mag)); }

void reduce_fraction_by(SBig& n, SBig& d, const UBig& g) {
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
