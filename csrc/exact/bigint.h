// Fixed-width unsigned big integers for the exact range.
//
// Values the record can hold have at most 619 bits (10 limbs); the products formed while
// evaluating a field operation exactly on the host reach 1239 bits, so the capacity is 24
// limbs of 64 bits. Everything is inline: these run in tight per-element loops.
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

// Bit length reported for an over value: above every capacity and range test.
constexpr int kOverBits = 64 * kLimbs + 64;

struct UBig {
  u64 w[kLimbs];
  int n = 0;  // limbs in use; w[n-1] != 0 unless n == 0
  bool over = false;  // the true value needs more than kLimbs limbs; w holds nothing useful

  C10_HOST_DEVICE UBig() {
    for (int i = 0; i < kLimbs; ++i) w[i] = 0;
  }
  C10_HOST_DEVICE explicit UBig(u64 v) : UBig() {
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
    for (int i = 0; i < kLimbs; ++i) w[i] = 0;
    n = 0;
    over = true;
  }
};

// An over value compares above every value that has one.
C10_HOST_DEVICE inline int ubig_cmp(const UBig& a, const UBig& b) {
  if (a.over || b.over) return a.over == b.over ? 0 : (a.over ? 1 : -1);
  if (a.n != b.n) return a.n < b.n ? -1 : 1;
  for (int i = a.n - 1; i >= 0; --i)
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
  return 0;
}

// r = a + b (r may alias a or b)
C10_HOST_DEVICE inline void ubig_add(UBig& r, const UBig& a, const UBig& b) {
  if (a.over || b.over) return r.set_over();
  const int n = kmax(a.n, b.n);
  u64 carry = 0;
  for (int i = 0; i < n; ++i) r.w[i] = add_carry(a.w[i], b.w[i], carry, carry);
  for (int i = n; i < kLimbs; ++i) r.w[i] = 0;
  r.over = false;
  r.n = n;
  if (carry) {
    if (n == kLimbs) return r.set_over();
    r.w[r.n++] = carry;
  }
  r.trim();
}

// r = a - b, requires a >= b (r may alias a or b)
C10_HOST_DEVICE inline void ubig_sub(UBig& r, const UBig& a, const UBig& b) {
  if (a.over || b.over) return r.set_over();
  assert(ubig_cmp(a, b) >= 0);
  u64 borrow = 0;
  for (int i = 0; i < a.n; ++i) {
    u64 bi = i < b.n ? b.w[i] : 0;
    u64 d = a.w[i] - bi - borrow;
    borrow = (a.w[i] < bi) || (a.w[i] - bi < borrow);
    r.w[i] = d;
  }
  for (int i = a.n; i < kLimbs; ++i) r.w[i] = 0;
  r.over = false;
  r.n = a.n;
  r.trim();
}

// r = a * b (r must not alias a or b). The schoolbook product is formed in a buffer of twice
// the capacity, where every index i + j and i + b.n stays below a.n + b.n <= 2 * kLimbs, and
// is marked over when limbs beyond the capacity are non-zero.
C10_HOST_DEVICE inline void ubig_mul(UBig& r, const UBig& a, const UBig& b) {
  assert(&r != &a && &r != &b);
  if (a.over || b.over) return r.set_over();
  // a.n + b.n - 1 limbs at least: past the capacity before any work.
  if (a.n && b.n && a.n + b.n - 1 > kLimbs) return r.set_over();
  u64 t[2 * kLimbs + 1] = {0};
  for (int i = 0; i < a.n; ++i) {
    u64 carry = 0;
    for (int j = 0; j < b.n; ++j) {
      t[i + j] = mul_add2(a.w[i], b.w[j], t[i + j], carry, carry);
    }
    t[i + b.n] = carry;
  }
  int n = a.n + b.n;
  while (n > 0 && t[n - 1] == 0) --n;
  if (n > kLimbs) return r.set_over();
  for (int i = 0; i < kLimbs; ++i) r.w[i] = t[i];
  r.n = n;
  r.over = false;
}

// a = a * m + add, for a word multiplier (the Horner step of mixed-radix reconstruction)
C10_HOST_DEVICE inline void ubig_mul_add_word(UBig& a, u64 m, u64 add) {
  if (a.over) return;
  u64 carry = add;
  for (int i = 0; i < a.n; ++i) {
    a.w[i] = mul_add2(a.w[i], m, carry, 0, carry);
  }
  if (carry) {
    if (a.n == kLimbs) return a.set_over();
    a.w[a.n++] = carry;
  }
}

// a += x * 2^shift; marked over where the sum leaves the capacity.
C10_HOST_DEVICE inline void ubig_add_shifted(UBig& a, const UBig& x, int shift) {
  if (a.over || x.over) return a.set_over();
  if (x.n == 0) return;
  if (shift < 0 || x.bit_length() + shift > 64 * kLimbs) return a.set_over();
  const int ls = shift / 64, bs = shift % 64;
  u64 carry = 0;
  int i = 0;
  for (; i <= x.n; ++i) {
    const u64 lo = i < x.n ? x.w[i] : 0, below = i > 0 ? x.w[i - 1] : 0;
    const u64 word = bs ? (lo << bs) | (below >> (64 - bs)) : lo;
    if (i + ls >= kLimbs) break;
    a.w[i + ls] = add_carry(a.w[i + ls], word, carry, carry);
  }
  for (int j = i + ls; carry && j < kLimbs; ++j) {
    a.w[j] = add_carry(a.w[j], 0, carry, carry);
  }
  if (carry) return a.set_over();
  a.n = kLimbs;
  a.trim();
}

// Single set bit: the exponent, else -1.
C10_HOST_DEVICE inline int ubig_power_of_two(const UBig& a) {
  if (a.n == 0) return -1;
  // A single set bit without popcount, which is a library call where the build targets no
  // hardware popcount, and this runs once per element of every dyadic job.
  const u64 top = a.w[a.n - 1];
  if (top == 0 || (top & (top - 1)) != 0) return -1;
  for (int i = 0; i < a.n - 1; ++i)
    if (a.w[i]) return -1;
  return 64 * (a.n - 1) + ctz64(a.w[a.n - 1]);
}

C10_HOST_DEVICE inline int ubig_ctz(const UBig& a) {
  for (int i = 0; i < a.n; ++i)
    if (a.w[i]) return 64 * i + ctz64(a.w[i]);
  return 0;
}

C10_HOST_DEVICE inline void ubig_shr(UBig& a, int s) {
  if (s <= 0 || a.n == 0) return;
  const int ls = s / 64, bs = s % 64;
  for (int i = 0; i < a.n; ++i) {
    u64 lo = i + ls < a.n ? a.w[i + ls] : 0;
    u64 hi = i + ls + 1 < a.n ? a.w[i + ls + 1] : 0;
    a.w[i] = bs ? (lo >> bs) | (hi << (64 - bs)) : lo;
  }
  a.trim();
}

C10_HOST_DEVICE inline void ubig_shl(UBig& a, int s) {
  if (s <= 0 || a.n == 0 || a.over) return;
  if (a.bit_length() + s > 64 * kLimbs) return a.set_over();
  const int ls = s / 64, bs = s % 64;
  const int n = kmin(a.n + ls + 1, kLimbs);
  for (int i = n - 1; i >= 0; --i) {
    u64 lo = (i - ls >= 0 && i - ls < a.n) ? a.w[i - ls] : 0;
    u64 lo2 = (i - ls - 1 >= 0 && i - ls - 1 < a.n) ? a.w[i - ls - 1] : 0;
    a.w[i] = bs ? (lo << bs) | (lo2 >> (64 - bs)) : lo;
  }
  a.n = n;
  a.trim();
}

C10_HOST_DEVICE inline u64 gcd_u64(u64 a, u64 b) {
  if (a == 0) return b;
  if (b == 0) return a;
  int k = ctz64(a | b);
  a >>= ctz64(a);
  while (b) {
    b >>= ctz64(b);
    if (a > b) kswap(a, b);
    b -= a;
  }
  return a << k;
}

// Binary gcd; drops to one word as soon as both operands fit, which is the common case.
C10_HOST_DEVICE inline UBig ubig_gcd(UBig a, UBig b) {
  if (a.over || b.over) {
    UBig g;
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
    UBig g(1);
    ubig_shl(g, k);
    return g;
  }
  // Each step subtracts the smaller from the larger in place and swaps only the pointers:
  // copying or clearing the full capacity per step cost more than the words in use.
  UBig *x = &a, *y = &b;
  while (true) {
    if (x->n <= 1 && y->n <= 1) {
      UBig g(gcd_u64(x->w[0], y->w[0]));
      ubig_shl(g, k);
      return g;
    }
#ifndef __CUDA_ARCH__
    if (x->n <= 2 && y->n <= 2) {
      using u128 = unsigned __int128;
      const u64 x1 = x->n > 1 ? x->w[1] : 0, y1 = y->n > 1 ? y->w[1] : 0;
      u128 u = ((u128)x1 << 64) | x->w[0], v = ((u128)y1 << 64) | y->w[0];
      while (u != v) {
        if (u > v) kswap(u, v);
        v -= u;
        const u64 lo = (u64)v;
        v >>= lo ? ctz64(lo) : 64 + ctz64((u64)(v >> 64));
      }
      UBig g((u64)u);
      g.w[1] = (u64)(u >> 64);
      g.n = g.w[1] ? 2 : 1;
      ubig_shl(g, k);
      return g;
    }
#endif
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
C10_HOST_DEVICE inline UBig ubig_divexact(UBig a, UBig d) {
  if (a.over || d.over) {
    a.set_over();
    return a;
  }
  if (d.is_one()) return a;
  const int s = ubig_ctz(d);
  ubig_shr(a, s);
  ubig_shr(d, s);
  u64 inv = d.w[0];  // Newton iteration for d0^-1 mod 2^64, 3 -> 6 -> ... -> 96 bits
  for (int i = 0; i < 5; ++i) inv *= 2 - d.w[0] * inv;
  UBig q;
  const int n = a.n;
  for (int i = 0; i < n; ++i) {
    const u64 qi = a.w[i] * inv;
    q.w[i] = qi;
    u64 borrow = 0;
    for (int j = 0; i + j < n; ++j) {
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
struct SBig {
  UBig mag;
  bool neg = false;
};

C10_HOST_DEVICE inline void sbig_mul(SBig& r, const SBig& a, const SBig& b) {
  const bool neg = a.neg != b.neg;
  ubig_mul(r.mag, a.mag, b.mag);
  r.neg = !r.mag.is_zero() && neg;
}

// r = a + b (sub: a - b)
C10_HOST_DEVICE inline void sbig_add(SBig& r, const SBig& a, const SBig& b, bool sub) {
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

// Raises `target` to at least `v`; parallel loops fold their per-chunk maxima with it.
inline void atomic_max(std::atomic<int>& target, int v) {
  int cur = target.load();
  while (v > cur && !target.compare_exchange_weak(cur, v)) {}
}

}  // namespace korvex::exact
