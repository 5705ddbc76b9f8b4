// The twenty fixed moduli and the constants derived from them once, at load time.
#pragma once

#include <c10/macros/Macros.h>

#include <array>
#include <cstdint>

#include "exact/bigint.h"

namespace korvex::exact {

constexpr int kPrimes = 20;

constexpr std::array<std::int64_t, kPrimes> kModuli = {
    2147483629, 2147483587, 2147483549, 2147483489, 2147483477, 2147483423, 2147483399,
    2147483353, 2147483323, 2147483269, 2147483249, 2147483237, 2147483179, 2147483171,
    2147483137, 2147483123, 2147483077, 2147483069, 2147483059, 2147483053};

// Every value with at most this many bits lies inside the symmetric range |x| <= (M-1)/2:
// M has 620 bits, so (M-1)/2 >= 2^618 > any 618-bit integer.
constexpr int kFitBits = 618;
// Two integers of at most this many bits are equal as soon as they agree modulo M.
constexpr int kCongruenceBits = 619;

// x - y where x >= y, else x, for x, y below 2^63: decided by the sign of the difference,
// which AVX2 reads in one blend where an unsigned comparison of 64-bit lanes costs three
// instructions more.
C10_HOST_DEVICE inline std::uint64_t sub_if_at_least(std::uint64_t x, std::uint64_t y) {
  const std::int64_t d = (std::int64_t)(x - y);
  return d < 0 ? x : (std::uint64_t)d;
}

// Barrett reduction for one modulus p in (2^30, 2^31), without 64-bit division: every
// product involved is 32 x 32 -> 64 bits, which vectorises.
struct ModP {
  std::uint64_t p;
  std::uint64_t mu;  // floor(2^62 / p), below 2^32

  // x < 2^62 -> x mod p. The estimate q is at most 2 below floor(x/p).
  C10_HOST_DEVICE inline std::uint64_t reduce(std::uint64_t x) const {
    // Every factor fits 32 bits (x >> 30, mu, q and p): said so, each product is one 32 x 32
    // multiplication in vectors, where a 64-bit one is three.
    const std::uint64_t q = ((std::uint64_t)(std::uint32_t)(x >> 30) * (std::uint32_t)mu) >> 32;
    const std::uint64_t qp = (std::uint64_t)(std::uint32_t)q * (std::uint32_t)p;
    return sub_if_at_least(sub_if_at_least(x - qp, p), p);
  }
  C10_HOST_DEVICE inline std::uint64_t mul(std::uint64_t a, std::uint64_t b) const {
    return reduce((std::uint64_t)(std::uint32_t)a * (std::uint32_t)b);
  }
  // (a*b + c*d) mod p with one reduction: the products sum below 2p^2 < 2 (p << 31), so one
  // conditional subtraction of p << 31 brings the sum under 2^62, where reduce() holds.
  C10_HOST_DEVICE inline std::uint64_t mul_add(std::uint64_t a, std::uint64_t b, std::uint64_t c,
                                               std::uint64_t d) const {
    std::uint64_t s = (std::uint64_t)(std::uint32_t)a * (std::uint32_t)b + (std::uint64_t)(std::uint32_t)c * (std::uint32_t)d;
    return reduce(sub_if_at_least(s, p << 31));
  }
  C10_HOST_DEVICE inline std::uint64_t add(std::uint64_t a, std::uint64_t b) const {
    return sub_if_at_least(a + b, p);
  }
  C10_HOST_DEVICE inline std::uint64_t sub(std::uint64_t a, std::uint64_t b) const {
    return a >= b ? a - b : a + p - b;
  }
};

// -p^-1 mod 2^32 for an odd p, the constant of Montgomery's reduction by 2^32: Newton's
// iteration doubles the correct low bits of p^-1 from the three an odd p has.
C10_HOST_DEVICE constexpr std::uint32_t montgomery_neg_inv(std::uint64_t p) {
  std::uint32_t inv = (std::uint32_t)p;
  for (int i = 0; i < 4; ++i) inv *= 2 - (std::uint32_t)p * inv;
  return 0u - inv;
}

// Plain arrays only: the struct is copied as bytes to each device that runs the element code.
struct Constants {
  ModP mod[kPrimes];
  // Garner: inv[i][j] = p_i^-1 mod p_j for i < j
  std::uint64_t inv[kPrimes][kPrimes];
  UBig M;       // product of the moduli
  UBig half_M;  // (M - 1) / 2, the largest magnitude held exactly
  // The same for the first k moduli alone: an integer known to have at most prefix_fit_bits[k]
  // bits is recovered from its first k residues, which is all a small value needs.
  UBig prefix_M[kPrimes + 1], prefix_half[kPrimes + 1];
  int prefix_fit_bits[kPrimes + 1];
  // 2^(28c) mod p_j, for residues of big integers taken 28 bits at a time (crt.h's
  // residue_of_chunks); and 2^62 mod p_j.
  static constexpr int kChunkBits = 28;
  static constexpr int kChunks = (64 * kLimbs + kChunkBits - 1) / kChunkBits;
  std::uint64_t chunk_pow[kPrimes][kChunks];
  std::uint64_t two62[kPrimes];
};

const Constants& constants();

// The fewest leading moduli whose symmetric range holds every integer of `bits` bits.
inline int primes_for_bits(int bits) {
  const Constants& c = constants();
  for (int k = 1; k < kPrimes; ++k)
    if (bits <= c.prefix_fit_bits[k]) return k;
  return kPrimes;
}

std::uint64_t powmod(std::uint64_t b, std::uint64_t e, std::uint64_t p);

}  // namespace korvex::exact
