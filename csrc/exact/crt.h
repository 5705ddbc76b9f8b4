// Conversions between residues and exact integers, one element at a time. Each takes the
// constants it reads as a parameter, so that the same functions run on the host (with
// constants()) and on a device (with the device's copy of them).
#pragma once

#include <c10/macros/Macros.h>

#include <cassert>
#include <cstdint>

#include "exact/bigint.h"
#include "exact/moduli.h"

namespace korvex::exact {

// One step of Garner's mixed radix modulo p_j: the partial digit t less digit i, times
// p_i^-1 mod p_j. Digit i is below p_i < 2 p_j, so one subtraction brings it below p_j.
C10_HOST_DEVICE inline std::uint64_t garner_step(const ModP& m, std::uint64_t t, std::uint64_t vi, std::uint64_t inv) {
  return m.mul(m.sub(t, vi >= m.p ? vi - m.p : vi), inv);
}

// Garner's mixed-radix digits of the residues r[j * stride], j < k.
C10_HOST_DEVICE inline void garner_digits(const Constants& c, const std::int64_t* r, std::int64_t stride, int k,
                                          std::uint64_t* v) {
  assert(k >= 1 && k <= kPrimes);
  for (int j = 0; j < k; ++j) {
    const ModP& m = c.mod[j];
    std::uint64_t t = (std::uint64_t)r[j * stride];
    for (int i = 0; i < j; ++i) t = garner_step(m, t, v[i], c.inv[i][j]);
    v[j] = t;
  }
}

// The integer in [0, P) of k Garner digits, digit j at v[j * vs] (Horner from the top),
// P the product of the first k moduli; and the same read in the symmetric range.
C10_HOST_DEVICE inline UBig unsigned_of_digits(const Constants& c, const std::uint64_t* v, std::int64_t vs, int k) {
  UBig x(v[(k - 1) * vs]);
  for (int j = k - 2; j >= 0; --j) ubig_mul_add_word(x, c.mod[j].p, v[j * vs]);
  return x;
}

C10_HOST_DEVICE inline SBig signed_of_digits(const Constants& c, const std::uint64_t* v, std::int64_t vs, int k) {
  SBig s;
  s.mag = unsigned_of_digits(c, v, vs, k);
  if (ubig_cmp(s.mag, c.prefix_half[k]) > 0) {
    UBig t;
    ubig_sub(t, c.prefix_M[k], s.mag);
    s.mag = t;
    s.neg = true;
  }
  return s;
}

// The integer in [0, P) with the given residues modulo the first k moduli (1 <= k <= kPrimes),
// P their product (Garner's mixed radix, then Horner). `stride` is the distance between the residues of one
// element in consecutive primes.
C10_HOST_DEVICE inline UBig crt_unsigned(const Constants& c, const std::int64_t* residues, std::int64_t stride,
                                         int k = kPrimes) {
  std::uint64_t v[kPrimes];
  garner_digits(c, residues, stride, k, v);
  return unsigned_of_digits(c, v, 1, k);
}

namespace detail {

// The integer of K <= 4 Garner digits (digit j at v[j * vs]) read in the symmetric range:
// its magnitude as hi:lo, its sign as the result.
template <int K>
C10_HOST_DEVICE inline bool signed_2w_of_digits(const Constants& c, const std::uint64_t* v, std::int64_t vs,
                                                std::uint64_t& lo_out, std::uint64_t& hi_out) {
  std::uint64_t lo = v[(K - 1) * vs], hi = 0;
  if constexpr (K <= 2) {
    // Two digits are below p_0 p_1 < 2^62: one word, no double-width product.
    if (K == 2) lo = lo * c.mod[0].p + v[0];
  } else {
    for (int j = K - 2; j >= 0; --j) {
      std::uint64_t h1;
      lo = mul_add2(lo, c.mod[j].p, v[j * vs], 0, h1);
      hi = hi * c.mod[j].p + h1;  // the value stays below 2^124: no carry out of hi
    }
  }
  const UBig& ph = c.prefix_half[K];
  const std::uint64_t half_lo = ph.w[0], half_hi = ph.n > 1 ? ph.w[1] : 0;
  // Without branches: the sign of the values a loop reads is as good as random, and a
  // mispredicted branch cost more than both sides.
  const bool neg = (hi > half_hi) | ((hi == half_hi) & (lo > half_lo));
  const UBig& pm = c.prefix_M[K];
  const std::uint64_t m_lo = pm.w[0], m_hi = pm.n > 1 ? pm.w[1] : 0;
  const std::uint64_t borrow = m_lo < lo;
  lo_out = neg ? m_lo - lo : lo;
  hi_out = neg ? m_hi - hi - borrow : hi;
  return neg;
}

template <int K>
C10_HOST_DEVICE inline bool crt_signed_2w_k(const Constants& c, const std::int64_t* residues, std::int64_t stride,
                                            std::uint64_t& lo_out, std::uint64_t& hi_out) {
  std::uint64_t v[K];
  garner_digits(c, residues, stride, K, v);
  return signed_2w_of_digits<K>(c, v, 1, lo_out, hi_out);
}

}  // namespace detail

// The integer of at most 122 bits held by the first k <= 4 residues, read in the symmetric
// range: its magnitude as hi:lo, its sign as the result. The big-integer loops are skipped,
// which is what the per-element jobs on float-derived records spend most of their time on;
// one instance per k lets the compiler unroll the digits.
C10_HOST_DEVICE inline bool crt_signed_2w(const Constants& c, const std::int64_t* residues, std::int64_t stride,
                                          int k, std::uint64_t& lo, std::uint64_t& hi) {
  assert(k >= 1 && k <= 4);
  switch (k) {
    case 1: return detail::crt_signed_2w_k<1>(c, residues, stride, lo, hi);
    case 2: return detail::crt_signed_2w_k<2>(c, residues, stride, lo, hi);
    case 3: return detail::crt_signed_2w_k<3>(c, residues, stride, lo, hi);
    default: return detail::crt_signed_2w_k<4>(c, residues, stride, lo, hi);
  }
}

// The same integer read in the symmetric range (-(P-1)/2 .. (P-1)/2).
C10_HOST_DEVICE inline SBig crt_signed(const Constants& c, const std::int64_t* residues, std::int64_t stride,
                                       int k = kPrimes) {
  SBig s;
  if (k <= 4) {
    s.neg = crt_signed_2w(c, residues, stride, k, s.mag.w[0], s.mag.w[1]);
    s.mag.n = 2;
    s.mag.trim();
    return s;
  }
  std::uint64_t v[kPrimes];
  garner_digits(c, residues, stride, k, v);
  return signed_of_digits(c, v, 1, k);
}

// The bits of words w[0 .. words) in chunks of Constants::kChunkBits, low first, as many as
// `bits` needs: their count.
C10_HOST_DEVICE inline int chunks_of(const std::uint64_t* w, int words, int bits, std::uint64_t* ch) {
  constexpr int b = Constants::kChunkBits;
  const int chunks = (bits + b - 1) / b;
  for (int q = 0; q < chunks; ++q) {
    const int pos = b * q, li = pos / 64, bi = pos % 64;
    std::uint64_t chunk = w[li] >> bi;
    if (bi > 64 - b && li + 1 < words) chunk |= w[li + 1] << (64 - bi);
    ch[q] = chunk & ((std::uint64_t(1) << b) - 1);
  }
  return chunks;
}

// The residue modulo p_j of the integer sum ch[q] 2^(28 q). Each product of a chunk and its power
// (below p < 2^31) is below 2^59, so that 32 of them sum in one word with no carry to follow;
// one reduction per 32 chunks (896 bits, past any value a record holds).
C10_HOST_DEVICE inline std::uint64_t residue_of_chunks(const Constants& c, int j, const std::uint64_t* ch,
                                                       int chunks) {
  static_assert(Constants::kChunkBits + 31 + 5 <= 64, "32 products must sum in a word");
  const ModP& m = c.mod[j];
  const std::uint64_t* pw = c.chunk_pow[j];
  std::uint64_t r = 0;
  for (int q0 = 0; q0 < chunks; q0 += 32) {
    const int end = chunks - q0 < 32 ? chunks : q0 + 32;
    std::uint64_t s = 0;
    for (int q = q0; q < end; ++q) s += ch[q] * pw[q];
    r = m.add(r, m.add(m.reduce(s & ((1ull << 62) - 1)), m.mul(s >> 62, c.two62[j])));
  }
  return r;
}

// Residues modulo primes first .. k - 1 of a signed integer (any size up to the capacity) into
// out[j * stride].
C10_HOST_DEVICE inline void residues_of(const Constants& c, const SBig& x, std::int64_t* out, std::int64_t stride,
                                        int k = kPrimes, int first = 0) {
  if (x.mag.over) {
    // Callers check `fits` first; a value past the capacity has no residues to give.
    for (int j = first; j < k; ++j) out[j * stride] = 0;
    return;
  }
  std::uint64_t ch[Constants::kChunks];
  const int chunks = chunks_of(x.mag.w, kLimbs, x.mag.bit_length(), ch);
  for (int j = first; j < k; ++j) {
    const std::uint64_t r = residue_of_chunks(c, j, ch, chunks);
    out[j * stride] = (std::int64_t)(x.neg && r ? c.mod[j].p - r : r);
  }
}

// Host forms over the host's constants.
inline UBig crt_unsigned(const std::int64_t* residues, std::int64_t stride, int k = kPrimes) {
  return crt_unsigned(constants(), residues, stride, k);
}
inline SBig crt_signed(const std::int64_t* residues, std::int64_t stride, int k = kPrimes) {
  return crt_signed(constants(), residues, stride, k);
}
inline void residues_of(const SBig& x, std::int64_t* out, std::int64_t stride, int k = kPrimes) {
  residues_of(constants(), x, out, stride, k);
}

// |x| <= (M-1)/2
C10_HOST_DEVICE inline bool fits(const Constants& c, const SBig& x) { return ubig_cmp(x.mag, c.half_M) <= 0; }
inline bool fits(const SBig& x) { return fits(constants(), x); }

// Lowest terms with a non-negative denominator, as to_rational reads a fraction:
// n/0 becomes (+-1, 0) and 0/0 stays (0, 0).
void reduce_fraction(SBig& n, SBig& d);
// The same for a caller that has their gcd g at hand already.
void reduce_fraction_by(SBig& n, SBig& d, const UBig& g);

}  // namespace korvex::exact
