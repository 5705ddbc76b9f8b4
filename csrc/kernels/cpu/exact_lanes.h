// The lanes of to_float, the order keys and the exact sum (exact_jobs.cpp), built once per
// vector width: no include guard, included by exact_jobs.cpp through lanes_both.h.
#include "kernels/cpu/lanes_begin.h"
namespace {

#include "kernels/cpu/dyadic_lanes.h"

// Numerators of one word: a lane's exact double (exact_doubles) converts with the one
// rounding to_float owes; other elements are read as float_element reads them.
template <int KN, int KD>
struct FloatLanes : ValueRows {
  float* po;
  KORVEX_ALWAYS_INLINE void lanes(int64_t k, Doubles x, Mask) const { store_floats(po + k, x); }
  KORVEX_ALWAYS_INLINE void element(int64_t k) const { po[k] = float_element(c, pn + k, pd + k, stride, KN, KD); }
};

template <int KN, int KD>
void float_rows(const Constants& c, const int64_t* pn, const int64_t* pd, int64_t stride, int64_t b, int64_t e,
                float* po) {
  if constexpr (KN > 2)
    kernels::float_rows<KN, KD>(c, pn, pd, stride, b, e, po);
  else
    over_exact_lanes(dyadic_lane_constants(c, KN, KD), pn, pd, stride, b, e,
                     FloatLanes<KN, KD>{{c, pn, pd, stride}, po});
}

// Terms of a chunk of at most kAccChunk float-derived elements: those the lanes read are summed
// per exponent k in 128 bits (below 2^62 * 2^14 each), and each of those sums goes into the
// accumulator once, where each term had touched its limbs and carried; the rest are added the
// exact way. Same decisions as add_dyadic_element: false where any term is refused.
bool sum_words(const Constants& c, const int64_t* pn, const int64_t* pd, int64_t stride, int64_t lo, int64_t hi,
               int kn, int kd, int scale, DyadicAcc& a) {
  static_assert(kAccChunk <= (int64_t(1) << 14), "the sums per exponent hold 2^14 terms");
  const DyadicLaneConstants l = dyadic_lane_constants(c, kn, kd);
  __int128 by_exp[Pow2Lookup::kLookupTop + 1] = {};
  int low = Pow2Lookup::kLookupTop + 1, high = -1;
  const Words top = set1(scale);
  alignas(64) int64_t term[8], exp[8];
  int64_t k = lo;
  for (; k + 8 <= hi; k += 8) {
    const DyadicLanes d = dyadic_lanes(l, pn + k, pd + k, stride);
    const unsigned ok = bits(d.ok);
    if (bits(d.ok & gt(d.k, top))) return false;
    store(term, select(d.neg, sub(zero(), d.mag), d.mag));
    store(exp, d.k);
    for (int i = 0; i < 8; ++i) {
      if (ok >> i & 1) {
        by_exp[exp[i]] += term[i];
        low = std::min(low, (int)exp[i]);
        high = std::max(high, (int)exp[i]);
      } else if (!add_dyadic_element(c, pn + k + i, pd + k + i, stride, kn, kd, scale, a)) {
        return false;
      }
    }
  }
  for (; k < hi; ++k)
    if (!add_dyadic_element(c, pn + k, pd + k, stride, kn, kd, scale, a)) return false;
  for (int e = low; e <= high; ++e) {
    const __int128 t = by_exp[e];
    if (!t) continue;
    const unsigned __int128 m = t < 0 ? -(unsigned __int128)t : (unsigned __int128)t;
    const u64 ml = (u64)m, mh = (u64)(m >> 64);
    if (detail::bit_length_2w(ml, mh) + scale - e > 64 * (kAccLimbs - 1)) return false;
    acc_add_shifted_2w(t < 0 ? a.neg : a.pos, ml, mh, scale - e);
  }
  return true;
}

// As FloatLanes: a lane's exact double is the value itself, so it is the key, exact, and its
// float32 the image; other elements are read as key_element reads them.
template <int KN, int KD>
struct KeyLanes : ValueRows {
  KeyOut out;
  KORVEX_ALWAYS_INLINE void lanes(int64_t k, Doubles x, Mask exact) const {
    store(out.key + k, x);
    if (out.image) store_floats(out.image + k, x);
    const unsigned flags = bits(exact);
    for (int i = 0; i < 8; ++i) out.exact[k + i] = flags >> i & 1;
  }
  KORVEX_ALWAYS_INLINE void element(int64_t k) const { out.put(k, key_element(c, pn + k, pd + k, stride, KN, KD)); }
};

template <int KN, int KD>
void key_rows(const Constants& c, const int64_t* pn, const int64_t* pd, int64_t stride, int64_t b, int64_t e,
              KeyOut out) {
  if constexpr (KN > 2)
    kernels::key_rows<KN, KD>(c, pn, pd, stride, b, e, out);
  else
    over_exact_lanes(dyadic_lane_constants(c, KN, KD), pn, pd, stride, b, e, KeyLanes<KN, KD>{{c, pn, pd, stride}, out});
}

}  // namespace
#include "kernels/cpu/lanes_end.h"
