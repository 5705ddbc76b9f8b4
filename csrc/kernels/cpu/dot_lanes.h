// The exact dot product's lanes (sum_jobs.cpp), built once per vector width: no include
// guard, included by sum_jobs.cpp through lanes_both.h.
#include "kernels/cpu/lanes_begin.h"
namespace {

#include "kernels/cpu/dyadic_lanes.h"

// Products of float-derived operands (numerators of one word) over a chunk of at most
// kAccChunk elements: those the lanes read are summed per exponent in three words (each product
// below 2^124, 2^14 of them), one sum per sign, and those go into the accumulator once; the
// rest are added the exact way. The same decisions as add_small_dyadic_product.
bool dot_words(const Constants& c, const DyadicOperand& x, const DyadicOperand& y, int64_t stride, int64_t lo, int64_t hi, int scale, DyadicAcc& a) {
  static_assert(kAccChunk <= (int64_t(1) << 14), "the sums per exponent hold 2^14 products");
  constexpr int kExps = 2 * Pow2Lookup::kLookupTop + 1;
  struct Wide {
    unsigned __int128 low;
    u64 high;
  };
  const DyadicLaneConstants lx = dyadic_lane_constants(c, x.kn, x.kd);
  const DyadicLaneConstants ly = dyadic_lane_constants(c, y.kn, y.kd);
  Wide by_exp[2][kExps] = {};
  int low = kExps, high = -1;
  const Words top = set1(scale);
  alignas(64) u64 mx[8], my[8];
  alignas(64) int64_t exp[8];
  int64_t k = lo;
  for (; k + 8 <= hi; k += 8) {
    const DyadicLanes dx = dyadic_lanes(lx, x.num + k, x.den + k, stride);
    const DyadicLanes dy = dyadic_lanes(ly, y.num + k, y.den + k, stride);
    const Mask both = dx.ok & dy.ok;
    const unsigned ok = bits(both), neg = bits(dx.neg) ^ bits(dy.neg);
    const Words e = add(dx.k, dy.k);
    if (bits(both & gt(e, top))) return false;
    store(mx, dx.mag);
    store(my, dy.mag);
    store(exp, e);
    for (int i = 0; i < 8; ++i) {
      if (ok >> i & 1) {
        const unsigned __int128 p = (unsigned __int128)mx[i] * my[i];
        Wide& w = by_exp[neg >> i & 1][exp[i]];
        w.low += p;
        w.high += w.low < p;
        low = std::min(low, (int)exp[i]);
        high = std::max(high, (int)exp[i]);
      } else if (!add_small_dyadic_product(c, x, y, stride, k + i, scale, a)) {
        return false;
      }
    }
  }
  for (; k < hi; ++k)
    if (!add_small_dyadic_product(c, x, y, stride, k, scale, a)) return false;
  for (int sign = 0; sign < 2; ++sign) {
    for (int e = low; e <= high; ++e) {
      const Wide& w = by_exp[sign][e];
      const u64 words[4] = {(u64)w.low, (u64)(w.low >> 64), w.high, 0};
      const int bits = words[2] ? 192 - exact::clz64(words[2]) : detail::bit_length_2w(words[0], words[1]);
      if (!bits) continue;
      if (bits + scale - e > 64 * (kAccLimbs - 1)) return false;
      acc_add_words(sign ? a.neg : a.pos, words, scale - e);
    }
  }
  return true;
}

}  // namespace
#include "kernels/cpu/lanes_end.h"
