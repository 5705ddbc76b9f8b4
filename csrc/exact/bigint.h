// Fixed-width unsigned big integers for the exact range.
//
// Values the record can hold have at most 619 bits (10 limbs); the products formed while
// evaluating a field operation exactly on the host reach 1239 bits, so the capacity is 24
// limbs of 64 bits. Everything is inline: these run in tight per-element loops.
//
// The limb count is a parameter: work whose integers provably stay small (the eliminations of
// small float matrices) uses a narrower width of the same integer, because every temporary
// clears and copies its whole capacity.
//
// No operation ever writes past the capacity. A result that would need more is not truncated
// but marked `over`, and the mark is sticky: every operation on an over operand gives an over
// result, an over value never `fits` and its bit length exceeds every capacity test, so a
// chain of exact steps that leaves the capacity ends in the caller's range check (and its
// OverflowError) instead of in a wrapped value.
#pragma once

#include <c10/macros/Macros.h>

#include <atomic>
#include <cassert>
#include <cstdint>

#include "exact/word.h"

namespace korvex::exact {


constexpr int kLimbs = 24;
// Operands whose bit lengths add up to less than this multiply without leaving the capacity.
constexpr int kCapacityBits = 64 * kLimbs - 8;

// Bits needed to count to m: the growth of a sum of m terms.
C10_HOST_DEVICE inline int ceil_log2(std::int64_t m) {
  int b = 0;
  while ((std::int64_t(1) << b) < m) ++b;
  return b;
}

// Bit length reported for an over value of any width: above every capacity and range test.
constexpr int kOverBits = 64 * kLimbs + 64;

template <int N>
struct BasicUBig {
  static_assert(N >= 4 && N <= kLimbs, "between the word paths and the host capacity");
  static constexpr int kWords = N;
  u64 w[N];
  int n = 0;  // limbs in use; w[n-1] != 0 unless n == 0
  bool over = false;  // the true value needs more than N limbs; w holds nothing useful

  C10_HOST_DEVICE BasicUBig() {
    for (int i = 0; i < N; ++i) w[i] = 0;
  }
  C10_HOST_DEVICE explicit BasicUBig(u64 v) : BasicUBig() {
    w[0] = v;
    n = v ? 1 : 0;
  }
  C10_HOST_DEVICE bool is_zero() const { return n == 0 && !over; }
  C10_HOST_DEVICE void trim() {
    while (n > 0 && w[n - 1] == 0) --n;
  }
  C10_HOST_DEVICE int bit_length() const {
    if (over) return kOverBits;
    return n == 0 ? 0 : 64 * (n - 1) + (64 - clz64(w[n - 1]));
  }
  C10_HOST_DEVICE bool is_one() const { return n == 1 && w[0] == 1 && !over; }
  C10_HOST_DEVICE void set_over() {
    for (int i = 0; i < N; ++i) w[i] = 0;
    n = 0;
    over = true;
  }
};

using UBig = BasicUBig<kLimbs>;

// An over value compares above every value that has one.
template <int N>
C10_HOST_DEVICE inline int ubig_cmp(const BasicUBig<N>& a, const BasicUBig<N>& b) {
  if (a.over || b.over) return a.over == b.over ? 0 : (a.over ? 1 : -1);
  if (a.n != b.n) return a.n < b.n ? -1 : 1;
  for (int i = a.n - 1; i >= 0; --i)
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
  return 0;
}

// r = a + b (r may alias a or b)
template <int N>
C10_HOST_DEVICE inline void ubig_add(BasicUBig<N>& r, const BasicUBig<N>& a, const BasicUBig<N>& b) {
  if (a.over || b.over) return r.set_over();
  const int n = kmax(a.n, b.n);
  u64 carry = 0;
  for (int i = 0; i < n; ++i) r.w[i] = add_carry(a.w[i], b.w[i], carry, carry);
  for (int i = n; i < N; ++i) r.w[i] = 0;
  r.over = false;
  r.n = n;
  if (carry) {
    if (n == N) return r.set_over();
    r.w[r.n++] = carry;
  }
  r.trim();
}

// r = a - b, requires a >= b (r may alias a or b)
template <int N>
C10_HOST_DEVICE inline void ubig_sub(BasicUBig<N>& r, const BasicUBig<N>& a, const BasicUBig<N>& b) {
  if (a.over || b.over) return r.set_over();
  assert(ubig_cmp(a, b) >= 0);
  u64 borrow = 0;
  for (int i = 0; i < a.n; ++i) {
    u64 bi = i < b.n ? b.w[i] : 0;
    u64 d = a.w[i] - bi - borrow;
    borrow = (a.w[i] < bi) || (a.w[i] - bi < borrow);
    r.w[i] = d;
  }
  for (int i = a.n; i < N; ++i) r.w[i] = 0;
  r.over = false;
  r.n = a.n;
  r.trim();
}

// r = a * b (r must not alias a or b). Past the early test a.n + b.n <= N + 1, so the
// schoolbook product fits a buffer of N + 1 words, and it is marked over when the top one is
// non-zero.
template <int N>
C10_HOST_DEVICE inline void ubig_mul(BasicUBig<N>& r, const BasicUBig<N>& a, const BasicUBig<N>& b) {
  assert(&r != &a && &r != &b);
  if (a.over || b.over) return r.set_over();
  // a.n + b.n - 1 limbs at least: past the capacity before any work.
  if (a.n && b.n && a.n + b.n - 1 > N) return r.set_over();
  u64 t[N + 1];
  for (int i = 0; i < a.n + b.n; ++i) t[i] = 0;
  for (int i = 0; i < a.n; ++i) {
    u64 carry = 0;
    for (int j = 0; j < b.n; ++j) {
      t[i + j] = mul_add2(a.w[i], b.w[j], t[i + j], carry, carry);
    }
    t[i + b.n] = carry;
  }
  int n = a.n + b.n;
  while (n > 0 && t[n - 1] == 0) --n;
  if (n > N) return r.set_over();
  for (int i = 0; i < n; ++i) r.w[i] = t[i];
  for (int i = n; i < N; ++i) r.w[i] = 0;
  r.n = n;
  r.over = false;
}

// a = a * m + add, for a word multiplier (the Horner step of mixed-radix reconstruction)
template <int N>
C10_HOST_DEVICE inline void ubig_mul_add_word(BasicUBig<N>& a, u64 m, u64 add) {
  if (a.over) return;
  u64 carry = add;
  for (int i = 0; i < a.n; ++i) {
    a.w[i] = mul_add2(a.w[i], m, carry, 0, carry);
  }
  if (carry) {
    if (a.n == N) return a.set_over();
    a.w[a.n++] = carry;
  }
}

// a += x * 2^shift; marked over where the sum leaves the capacity.
template <int N>
C10_HOST_DEVICE inline void ubig_add_shifted(BasicUBig<N>& a, const BasicUBig<N>& x, int shift) {
  if (a.over || x.over) return a.set_over();
  if (x.n == 0) return;
  if (shift < 0 || x.bit_length() + shift > 64 * N) return a.set_over();
  const int ls = shift / 64, bs = shift % 64;
  u64 carry = 0;
  int i = 0;
  for (; i <= x.n; ++i) {
    const u64 lo = i < x.n ? x.w[i] : 0, below = i > 0 ? x.w[i - 1] : 0;
    const u64 word = bs ? (lo << bs) | (below >> (64 - bs)) : lo;
    if (i + ls >= N) break;
    a.w[i + ls] = add_carry(a.w[i + ls], word, carry, carry);
  }
  for (int j = i + ls; carry && j < N; ++j) {
    a.w[j] = add_carry(a.w[j], 0, carry, carry);
  }
  if (carry) return a.set_over();
  a.n = N;
  a.trim();
}

// Single set bit: the exponent, else -1.
template <int N>
C10_HOST_DEVICE inline int ubig_power_of_two(const BasicUBig<N>& a) {
  if (a.n == 0) return -1;
  // A single set bit without popcount, which is a library call where the build targets no
  // hardware popcount, and this runs once per element of every dyadic job.
  const u64 top = a.w[a.n - 1];
  if (top == 0 || (top & (top - 1)) != 0) return -1;
  for (int i = 0; i < a.n - 1; ++i)
    if (a.w[i]) return -1;
  return 64 * (a.n - 1) + ctz64(a.w[a.n - 1]);
}

template <int N>
C10_HOST_DEVICE inline int ubig_ctz(const BasicUBig<N>& a) {
  for (int i = 0; i < a.n; ++i)
    if (a.w[i]) return 64 * i + ctz64(a.w[i]);
  return 0;
}

template <int N>
C10_HOST_DEVICE inline void ubig_shr(BasicUBig<N>& a, int s) {
  if (s <= 0 || a.n == 0) return;
  const int ls = s / 64, bs = s % 64;
  for (int i = 0; i < a.n; ++i) {
    u64 lo = i + ls < a.n ? a.w[i + ls] : 0;
    u64 hi = i + ls + 1 < a.n ? a.w[i + ls + 1] : 0;
    a.w[i] = bs ? (lo >> bs) | (hi << (64 - bs)) : lo;
  }
  a.trim();
}

template <int N>
C10_HOST_DEVICE inline void ubig_shl(BasicUBig<N>& a, int s) {
  if (s <= 0 || a.n == 0 || a.over) return;
  if (a.bit_length() + s > 64 * N) return a.set_over();
  const int ls = s / 64, bs = s % 64;
  const int n = kmin(a.n + ls + 1, N);
  for (int i = n - 1; i >= 0; --i) {
    u64 lo = (i - ls >= 0 && i - ls < a.n) ? a.w[i - ls] : 0;
    u64 lo2 = (i - ls - 1 >= 0 && i - ls - 1 < a.n) ? a.w[i - ls - 1] : 0;
    a.w[i] = bs ? (lo << bs) | (lo2 >> (64 - bs)) : lo;
  }
  a.n = n;
  a.trim();
}

namespace detail {

// Binary gcd of odd a, b in one word. Each step keeps the smaller and replaces the larger by
// their difference over its trailing zeros, without branches: which one is larger is a coin
// toss that a branch mispredicts half the time, at more cost than both sides.
C10_HOST_DEVICE inline u64 gcd_odd_u64(u64 a, u64 b) {
  for (u64 d = b - a; d != 0; d = b - a) {
    const bool lt = b < a;
    a = lt ? b : a;
    b = (lt ? (u64)0 - d : d) >> ctz64(d);
  }
  return a;
}

// The same step on odd u, v of W words: false when they were equal (u is then the gcd). The
// shift is counted on v - u's low word as soon as it is formed (|v - u| has the same trailing
// zeros), so that it overlaps the negation instead of waiting for it.
template <int W>
C10_HOST_DEVICE inline bool gcd_odd_step(u64 (&u)[W], u64 (&v)[W]) {
  u64 d[W], e[W];
  unsigned char borrow = 0, other = 0;
  for (int i = 0; i < W; ++i) d[i] = sub_borrow(v[i], u[i], borrow);
  for (int i = 0; i < W; ++i) e[i] = sub_borrow(u[i], v[i], other);
  const bool whole_words = d[0] == 0;  // 64 trailing zeros or more: rare, or v == u
  const int s = whole_words ? 0 : ctz64(d[0]);
  const bool lt = borrow != 0;
  for (int i = 0; i < W; ++i) {
    u[i] = lt ? v[i] : u[i];
    d[i] = lt ? e[i] : d[i];  // |v - u|
  }
  if (whole_words) {
    u64 any = 0;
    for (int i = 0; i < W; ++i) any |= d[i];
    if (any == 0) return false;
    while (d[0] == 0) {
      for (int i = 0; i < W - 1; ++i) d[i] = d[i + 1];
      d[W - 1] = 0;
    }
    const int t = ctz64(d[0]);
    for (int i = 0; i < W - 1; ++i) v[i] = t ? (d[i] >> t) | (d[i + 1] << (64 - t)) : d[i];
    v[W - 1] = d[W - 1] >> t;
    return true;
  }
  // v - u of odd values is even: 1 <= s <= 63.
  for (int i = 0; i < W - 1; ++i) v[i] = (d[i] >> s) | (d[i + 1] << (64 - s));
  v[W - 1] = d[W - 1] >> s;
  return true;
}

// Steps on the operands' first W words in place, until they are equal (true: x is the gcd)
// or both fit in S words. The general loop's per-step trims, counts and bounds cost several
// times these straight-line words, and values of a few words are what small eliminations
// reduce.
template <int W, int S, int N>
C10_HOST_DEVICE inline bool gcd_odd_words(BasicUBig<N>& x, BasicUBig<N>& y) {
  u64 u[W], v[W];
  for (int i = 0; i < W; ++i) {
    u[i] = x.w[i];
    v[i] = y.w[i];
  }
  bool equal = false;
  while (!equal) {
    u64 high = 0;
    for (int i = S; i < W; ++i) high |= u[i] | v[i];
    if (high == 0) break;
    equal = !gcd_odd_step<W>(u, v);
  }
  for (int i = 0; i < W; ++i) {
    x.w[i] = u[i];
    y.w[i] = equal ? u[i] : v[i];
  }
  x.n = y.n = W;
  x.trim();
  y.trim();
  return equal;
}

}  // namespace detail

C10_HOST_DEVICE inline u64 gcd_u64(u64 a, u64 b) {
  if (a == 0) return b;
  if (b == 0) return a;
  const int k = ctz64(a | b);
  return detail::gcd_odd_u64(a >> ctz64(a), b >> ctz64(b)) << k;
}

// Binary gcd; narrows to fixed words of 8, 4, 2 and 1 as the operands shrink.
template <int N>
C10_HOST_DEVICE inline BasicUBig<N> ubig_gcd(BasicUBig<N> a, BasicUBig<N> b) {
  if (a.over || b.over) {
    BasicUBig<N> g;
    g.set_over();
    return g;
  }
  if (a.is_zero()) return b;
  if (b.is_zero()) return a;
  const int za = ubig_ctz(a), zb = ubig_ctz(b);
  const int k = kmin(za, zb);
  ubig_shr(a, za);
  ubig_shr(b, zb);
  // Power-of-two denominators leave an odd part of 1: nothing left to do.
  if (a.is_one() || b.is_one()) {
    BasicUBig<N> g(1);
    ubig_shl(g, k);
    return g;
  }
  // Each step subtracts the smaller from the larger in place and swaps only the pointers:
  // copying or clearing the full capacity per step cost more than the words in use.
  BasicUBig<N> *x = &a, *y = &b;
  bool equal = false;
  while (!equal) {
    if (x->n <= 1 && y->n <= 1) {
      BasicUBig<N> g(detail::gcd_odd_u64(x->w[0], y->w[0]));
      ubig_shl(g, k);
      return g;
    }
    if (x->n <= 2 && y->n <= 2) {
      equal = detail::gcd_odd_words<2, 1>(*x, *y);
      continue;
    }
    if (x->n <= 3 && y->n <= 3) {
      equal = detail::gcd_odd_words<3, 2>(*x, *y);
      continue;
    }
    if (x->n <= 4 && y->n <= 4) {
      equal = detail::gcd_odd_words<4, 3>(*x, *y);
      continue;
    }
    if (N >= 8 && x->n <= 8 && y->n <= 8) {
      equal = detail::gcd_odd_words<(N >= 8 ? 8 : N), 4>(*x, *y);
      continue;
    }
    const int c = ubig_cmp(*x, *y);
    if (c == 0) break;
    if (c > 0) kswap(x, y);
    // y > x, so x has no more words in use than y.
    u64 borrow = 0;
    for (int i = 0; i < y->n; ++i) {
      const u64 xi = i < x->n ? x->w[i] : 0, yi = y->w[i];
      y->w[i] = yi - xi - borrow;
      borrow = (yi < xi) || (yi - xi < borrow);
    }
    y->trim();
    ubig_shr(*y, ubig_ctz(*y));
  }
  ubig_shl(*x, k);
  return *x;
}

// a / d for d dividing a exactly (Hensel division: no trial quotients, no normalisation).
template <int N>
C10_HOST_DEVICE inline BasicUBig<N> ubig_divexact(BasicUBig<N> a, BasicUBig<N> d) {
  if (a.over || d.over) {
    a.set_over();
    return a;
  }
  if (d.is_one()) return a;
  const int s = ubig_ctz(d);
  ubig_shr(a, s);
  ubig_shr(d, s);
  if (d.is_one()) return a;  // a power of two, the common divisor of dyadic values
  u64 inv = d.w[0];  // Newton iteration for d0^-1 mod 2^64, 3 -> 6 -> ... -> 96 bits
  for (int i = 0; i < 5; ++i) inv *= 2 - d.w[0] * inv;
  BasicUBig<N> q;
  const int n = a.n;
  for (int i = 0; i < n; ++i) {
    const u64 qi = a.w[i] * inv;
    q.w[i] = qi;
    u64 borrow = 0;
    // Only the words d reaches, then the borrow ripples on until it dies out.
    for (int j = 0; i + j < n; ++j) {
      if (j >= d.n && borrow == 0) break;
      u64 hi;
      const u64 lo = mul_add2(qi, j < d.n ? d.w[j] : 0, borrow, 0, hi);
      const u64 cur = a.w[i + j];
      a.w[i + j] = cur - lo;
      borrow = hi + (cur < lo);
    }
  }
  q.n = n;
  q.trim();
  return q;
}

// Signed value as magnitude and sign; zero is never negative.
template <int N>
struct BasicSBig {
  BasicUBig<N> mag;
  bool neg = false;
};

using SBig = BasicSBig<kLimbs>;

template <int N>
C10_HOST_DEVICE inline void sbig_mul(BasicSBig<N>& r, const BasicSBig<N>& a, const BasicSBig<N>& b) {
  const bool neg = a.neg != b.neg;
  ubig_mul(r.mag, a.mag, b.mag);
  r.neg = !r.mag.is_zero() && neg;
}

// r = a + b (sub: a - b)
template <int N>
C10_HOST_DEVICE inline void sbig_add(BasicSBig<N>& r, const BasicSBig<N>& a, const BasicSBig<N>& b, bool sub) {
  const bool bneg = sub ? !b.neg : b.neg;
  if (a.mag.over || b.mag.over) {
    r.mag.set_over();
    r.neg = false;
    return;
  }
  if (a.neg == bneg) {
    ubig_add(r.mag, a.mag, b.mag);
    r.neg = a.neg;
  } else if (ubig_cmp(a.mag, b.mag) >= 0) {
    ubig_sub(r.mag, a.mag, b.mag);
    r.neg = a.neg;
  } else {
    ubig_sub(r.mag, b.mag, a.mag);
    r.neg = bneg;
  }
  if (r.mag.is_zero()) r.neg = false;
}

// x in another width: over when its words do not fit there (or it was over already).
template <int M, int N>
C10_HOST_DEVICE inline BasicSBig<M> sbig_resized(const BasicSBig<N>& x) {
  BasicSBig<M> r;
  if (x.mag.over || x.mag.n > M) {
    r.mag.set_over();
    return r;
  }
  for (int i = 0; i < x.mag.n; ++i) r.mag.w[i] = x.mag.w[i];
  r.mag.n = x.mag.n;
  r.neg = x.neg;
  return r;
}

// Raises `target` to at least `v`; parallel loops fold their per-chunk maxima with it.
inline void atomic_max(std::atomic<int>& target, int v) {
  int cur = target.load();
  while (v > cur && !target.compare_exchange_weak(cur, v)) {}
}

}  // namespace korvex::exact
