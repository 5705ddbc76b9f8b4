// Inner loops built more than once from one inline body: for the build's baseline, and for
// AVX2 and AVX-512 where the CPU has them (widest_build), which the compiler vectorises from the
// same code. Loops written in vector lanes are built per width between lanes_begin.h and
// lanes_end.h.
#pragma once

#define KORVEX_ALWAYS_INLINE inline __attribute__((always_inline))
#define KORVEX_AVX512 __attribute__((target("avx512f,avx512dq,avx512vl,avx2")))
#define KORVEX_AVX2 __attribute__((target("avx2,fma,bmi,bmi2")))

#include <immintrin.h>

#include <cstdint>

// Around hand-written AVX-512 code: GCC 12 reports the undefined register some intrinsics
// start from as (possibly) uninitialised once they are inlined (its bug 105593).
#define KORVEX_INTRINSICS_BEGIN                                                          \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"") \
      _Pragma("GCC diagnostic ignored \"-Wuninitialized\"")
#define KORVEX_INTRINSICS_END _Pragma("GCC diagnostic pop")

namespace korvex::kernels {

// ModP::reduce (x < 2^62) on eight lanes, vp and vmu the prime and its mu broadcast.
KORVEX_AVX512 KORVEX_ALWAYS_INLINE __m512i reduce8(__m512i x, __m512i vp, __m512i vmu) {
  const __m512i q = _mm512_srli_epi64(_mm512_mul_epu32(_mm512_srli_epi64(x, 30), vmu), 32);
  const __m512i r = _mm512_sub_epi64(x, _mm512_mul_epu32(q, vp));
  // r - p wraps above r exactly when r < p: the unsigned minimum is the conditional subtraction.
  const __m512i s = _mm512_min_epu64(r, _mm512_sub_epi64(r, vp));
  return _mm512_min_epu64(s, _mm512_sub_epi64(s, vp));
}

KORVEX_INTRINSICS_BEGIN
// table[idx] for eight int64 indices, zero-extended to 64 bits; the masked forms with a zero
// source, since the plain ones start from an undefined register.
KORVEX_AVX512 KORVEX_ALWAYS_INLINE __m512i gather8(const int32_t* table, __m512i idx) {
  const __m256i w = _mm512_mask_i64gather_epi32(_mm256_setzero_si256(), 0xff, idx, table, 4);
  return _mm512_maskz_cvtepu32_epi64(0xff, w);
}
KORVEX_INTRINSICS_END

}  // namespace korvex::kernels
