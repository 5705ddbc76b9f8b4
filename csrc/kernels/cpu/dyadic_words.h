// Float-derived values read eight at a time straight from their residues: a numerator of one
// word over a denominator 2^k, the form nearly every element of a record made by from_tensor
// has. to_float, sum and dot take such elements from here and every other element the exact
// way, one at a time; the lanes below only ever decide what they can prove.
#pragma once

#include <cstdint>

#include "exact/crt.h"
#include "kernels/cpu/isa.h"

KORVEX_INTRINSICS_BEGIN

namespace korvex::kernels {

// The exponent k of a denominator 2^k is found from its first residue alone, 2^k mod p_0, by a
// multiplicative hash into a table of the k up to kLookupTop; the residues of 2^k modulo every
// prime the values need then confirm or refute it.
struct Pow2Lookup {
  static constexpr int kSlotBits = 12;
  static constexpr int kLookupTop = 127;  // past the largest k four residues hold
  std::uint64_t mult;
  int32_t k[1 << kSlotBits];  // -1 where no power of two hashes
  const int32_t* pow2;        // pow2_table_on(kCPU): row j, pow2_row entries long, holds 2^k mod p_j
  int64_t pow2_row;
  C10_HOST_DEVICE static int64_t slot(std::uint64_t r0, std::uint64_t mult) {
    return (int64_t)(((r0 * mult) >> 20) & ((1u << kSlotBits) - 1));
  }
};

// Built once: the first multiplier that sends no two of the k to one slot, and the table.
const Pow2Lookup& pow2_lookup();

// What the lanes read need at hand, broadcast once per job.
struct DyadicLaneConstants {
  __m512i p0, p1, mu1, inv01, half, full, kmax, mult, slot_mask;
  const int32_t* pow2;
  int64_t pow2_row;
  const int32_t* slots;
  int kn, kd;
};

KORVEX_AVX512 inline DyadicLaneConstants dyadic_lane_constants(const exact::Constants& c, int kn, int kd) {
  const Pow2Lookup& look = pow2_lookup();
  DyadicLaneConstants l;
  l.p0 = _mm512_set1_epi64((long long)c.mod[0].p);
  l.p1 = _mm512_set1_epi64((long long)c.mod[1].p);
  l.mu1 = _mm512_set1_epi64((long long)c.mod[1].mu);
  l.inv01 = _mm512_set1_epi64((long long)c.inv[0][1]);
  l.half = _mm512_set1_epi64((long long)c.prefix_half[kn].w[0]);
  l.full = _mm512_set1_epi64((long long)c.prefix_M[kn].w[0]);
  l.kmax = _mm512_set1_epi64(c.prefix_half[kd].bit_length() - 1);
  l.mult = _mm512_set1_epi64((long long)look.mult);
  l.slot_mask = _mm512_set1_epi64((1 << Pow2Lookup::kSlotBits) - 1);
  l.pow2 = look.pow2;
  l.pow2_row = look.pow2_row;
  l.slots = look.k;
  l.kn = kn;
  l.kd = kd;
  return l;
}

// Eight elements: element i is mag_i / 2^k_i where lane i of `ok` is set, negative where lane i
// of `neg` is. Lanes outside `ok` (a denominator that is not 2^k, negative or zero included)
// are the caller's to read the exact way.
struct DyadicLanes {
  __m512i mag, k;
  __mmask8 neg, ok;
};

// The numerator is Garner's two digits read in the symmetric range (kn <= 2: below 2^62, one
// word); the denominator's k is looked up and then checked on all kd <= 4 residues. 2^k and the
// denominator both lie in [0, P_kd / 2] (k <= kmax), so agreeing modulo P_kd makes them equal.
KORVEX_AVX512 KORVEX_ALWAYS_INLINE DyadicLanes dyadic_lanes(const DyadicLaneConstants& l, const int64_t* pn,
                                                           const int64_t* pd, int64_t stride) {
  DyadicLanes out;
  __m512i v = _mm512_loadu_si512(pn);
  if (l.kn == 2) {
    const __m512i r1 = _mm512_loadu_si512(pn + stride);
    const __m512i r0 = _mm512_min_epu64(v, _mm512_sub_epi64(v, l.p1));  // p_0 > p_1: one subtraction
    __m512i t = _mm512_sub_epi64(_mm512_add_epi64(r1, l.p1), r0);
    t = _mm512_min_epu64(t, _mm512_sub_epi64(t, l.p1));
    const __m512i d1 = reduce8(_mm512_mul_epu32(t, l.inv01), l.p1, l.mu1);
    v = _mm512_add_epi64(_mm512_mul_epu32(d1, l.p0), v);
  }
  out.neg = _mm512_cmpgt_epu64_mask(v, l.half);
  out.mag = _mm512_mask_sub_epi64(v, out.neg, l.full, v);

  const __m512i r0 = _mm512_loadu_si512(pd);
  const __m512i slot = _mm512_and_si512(_mm512_srli_epi64(_mm512_mul_epu32(r0, l.mult), 20), l.slot_mask);
  // An empty slot holds -1, which zero-extends past kmax.
  const __m512i k = gather8(l.slots, slot);
  __mmask8 ok = _mm512_cmple_epu64_mask(k, l.kmax);
  const __m512i at = _mm512_maskz_mov_epi64(ok, k);
  ok &= _mm512_cmpeq_epi64_mask(gather8(l.pow2, at), r0);
  for (int j = 1; j < l.kd; ++j) {
    const __m512i t = gather8(l.pow2, _mm512_add_epi64(at, _mm512_set1_epi64(j * l.pow2_row)));
    ok &= _mm512_cmpeq_epi64_mask(t, _mm512_loadu_si512(pd + j * stride));
  }
  out.k = k;
  out.ok = ok;
  return out;
}

// The lanes as signed doubles, each the element's value itself where `exact` is set: a
// numerator below 2^53 over 2^k, k <= 123, is a normal double times an exact power of two.
KORVEX_AVX512 KORVEX_ALWAYS_INLINE __m512d exact_doubles(const DyadicLanes& d, __mmask8& exact) {
  exact = d.ok & _mm512_cmplt_epu64_mask(d.mag, _mm512_set1_epi64(1ll << 53));
  const __m512i bits = _mm512_slli_epi64(_mm512_sub_epi64(_mm512_set1_epi64(1023), d.k), 52);
  const __m512d x = _mm512_mul_pd(_mm512_cvtepu64_pd(d.mag), _mm512_castsi512_pd(bits));
  return _mm512_mask_sub_pd(x, d.neg, _mm512_setzero_pd(), x);
}

// A job over elements [b, e), eight lanes at a time: out.lanes(k, x, exact) with each group's
// exact_doubles, then out.element(k) for each element whose lane is not exact, and for the
// ragged end.
template <class Out>
KORVEX_AVX512 KORVEX_ALWAYS_INLINE void over_exact_lanes(const DyadicLaneConstants& l, const int64_t* pn,
                                                         const int64_t* pd, int64_t stride, int64_t b, int64_t e,
                                                         const Out& out) {
  int64_t k = b;
  for (; k + 8 <= e; k += 8) {
    __mmask8 exact;
    const __m512d x = exact_doubles(dyadic_lanes(l, pn + k, pd + k, stride), exact);
    out.lanes(k, x, exact);
    if (exact != 0xff)
      for (int i = 0; i < 8; ++i)
        if (!(exact >> i & 1)) out.element(k + i);
  }
  for (; k < e; ++k) out.element(k);
}

}  // namespace korvex::kernels

KORVEX_INTRINSICS_END
