// Word operations the exact core needs on both the host and the device: bit scans and the
// one 64 x 64 -> 128-bit multiply, each with the instruction each side has.
#pragma once

#include <c10/macros/Macros.h>

#include <cstdint>
#if defined(__x86_64__) && !defined(__CUDACC__)
#include <immintrin.h>
#endif

namespace korvex::exact {

using u64 = std::uint64_t;
// Host code only (the device has no 128-bit division); element code uses mul_wide.
using u128 = unsigned __int128;

C10_HOST_DEVICE inline int clz64(u64 x) {  // x != 0
#ifdef __CUDA_ARCH__
  return __clzll((long long)x);
#else
  return __builtin_clzll(x);
#endif
}

C10_HOST_DEVICE inline int ctz64(u64 x) {  // x != 0
#ifdef __CUDA_ARCH__
  return __ffsll((long long)x) - 1;
#else
  return __builtin_ctzll(x);
#endif
}

// a * b as hi:lo.
C10_HOST_DEVICE inline u64 mul_wide(u64 a, u64 b, u64& hi) {
#ifdef __CUDA_ARCH__
  hi = __umul64hi(a, b);
  return a * b;
#else
  const unsigned __int128 p = (unsigned __int128)a * b;
  hi = (u64)(p >> 64);
  return (u64)p;
#endif
}

// a * b + c + d as hi:lo: never overflows 128 bits, the step of every schoolbook loop.
C10_HOST_DEVICE inline u64 mul_add2(u64 a, u64 b, u64 c, u64 d, u64& hi) {
  u64 lo = mul_wide(a, b, hi);
  lo += c;
  hi += lo < c;
  lo += d;
  hi += lo < d;
  return lo;
}

// a + b + carry_in (0 or 1); carry_out 0 or 1.
C10_HOST_DEVICE inline u64 add_carry(u64 a, u64 b, u64 carry_in, u64& carry_out) {
  const u64 s = a + b;
  const u64 t = s + carry_in;
  carry_out = (u64)(s < a) + (u64)(t < s);
  return t;
}

// a - b - borrow and a + b + carry with the borrow or carry (0 or 1) passed along a chain: on
// the x86 host the flag itself, which a chain of comparisons would otherwise recompute.
C10_HOST_DEVICE inline u64 sub_borrow(u64 a, u64 b, unsigned char& borrow) {
#if defined(__x86_64__) && !defined(__CUDACC__)
  unsigned long long d;
  borrow = _subborrow_u64(borrow, a, b, &d);
  return d;
#else
  const u64 t = a - b, d = t - borrow;
  borrow = (unsigned char)((a < b) | (t < borrow));
  return d;
#endif
}

C10_HOST_DEVICE inline u64 add_carry(u64 a, u64 b, unsigned char& carry) {
#if defined(__x86_64__) && !defined(__CUDACC__)
  unsigned long long s;
  carry = _addcarry_u64(carry, a, b, &s);
  return s;
#else
  u64 out;
  const u64 s = add_carry(a, b, carry, out);
  carry = (unsigned char)out;
  return s;
#endif
}

template <class T>
C10_HOST_DEVICE inline T kmax(T a, T b) { return a < b ? b : a; }
template <class T>
C10_HOST_DEVICE inline T kmin(T a, T b) { return a < b ? a : b; }
template <class T>
C10_HOST_DEVICE inline void kswap(T& a, T& b) {
  T t = a;
  a = b;
  b = t;
}

}  // namespace korvex::exact
