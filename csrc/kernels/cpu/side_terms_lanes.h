// The matrix product's side terms read by the lanes (matmul_jobs.cpp), built once per vector
// width: no include guard, included by matmul_jobs.cpp with KORVEX_LANES_WIDE set.
#include "kernels/cpu/lanes_begin.h"
namespace {

#include "kernels/cpu/dyadic_lanes.h"

// The same terms as row_terms_by_blocks, from the lanes' reading (dyadic_lanes: kn <= 2,
// kd <= 4, each row's residues in order and the numerators' and denominators' primes alike
// apart): eight elements' shapes at once wherever all eight are mag / 2^k, folded as vector
// extremes and sums, and the element path for any other block and for the ragged end.
KORVEX_ALWAYS_INLINE RowTerms row_terms_by_lanes(const DyadicLaneConstants& l, const Constants& c,
                                                 const StridedResidues& num, const StridedResidues& den, int64_t r,
                                                 int64_t len, int32_t* codes, double* vals) {
  const int kn = l.kn, kd = l.kd;
  RowFold f;
  auto element = [&](int64_t t) { return fold_element(c, num, den, r, t, kn, kd, codes, f); };
  Words top = zero(), sum = zero(), wide = set1(INT64_MIN), low = set1(INT64_MAX);
  unsigned any = 0;
  int64_t t = 0;
  for (; t + 8 <= len; t += 8) {
    const DyadicLanes d = dyadic_lanes(l, num.at(r, t), den.at(r, t), num.sp);
    if (bits(d.ok) != 0xff) {
      if (vals) store(vals + t, set1_double(NAN));
      for (int i = 0; i < 8; ++i)
        if (!element(t + i)) return f.rt;
      continue;
    }
    // The signed magnitudes, for direct_cleared_row. Converted as they are: where they are
    // used, a row's cleared values have at most kDirectBits bits, so these as many and no more.
    if (vals) {
      const Doubles m = to_doubles(d.mag);
      store(vals + t, select(d.neg, negate(m), m));
    }
    store_i32(codes + t, shl<1>(d.k));
    top = max(top, d.k);
    sum = add(sum, d.k);
    const Mask nz = nonzero(d.mag);
    wide = select(nz, max(wide, sub(bit_length(d.mag), d.k)), wide);
    low = select(nz, min(low, sub(trailing_zeros(d.mag), d.k)), low);
    any |= bits(nz);
  }
  f.add_block((int32_t)max_lane(top), sum_lanes(sum), any != 0, (int)max_lane(wide), (int)min_lane(low));
  for (; t < len; ++t)
    if (!element(t)) return f.rt;
  return f.done();
}

// The direct GEMM's operand of a row read by row_terms_by_lanes, in place over `vals`:
// ±mag 2^(L - T - e), exact since it has at most kDirectBits bits. Blocks the lanes did not
// read (NaN) and the ragged end take the residue way, balanced(num 2^(L - T - e) mod p_0),
// which is the same integer below p_0 / 2.
void direct_cleared_row(const exact::ModP& mod, const int32_t* pw, const int64_t* src, const int32_t* codes,
                        int32_t shift, int64_t len, double* vals) {
  int64_t t = 0;
  for (; t + 8 <= len; t += 8) {
    const Doubles v = load_doubles(vals + t);
    if (any_nan(v)) {
      cleared_row(mod, pw, src + t, codes + t, shift, 8, false, vals + t, nullptr);
      continue;
    }
    const __m256i e = _mm256_srai_epi32(_mm256_loadu_si256((const __m256i*)(codes + t)), 1);
    store(vals + t, mul(v, pow2(widen_i32(_mm256_sub_epi32(_mm256_set1_epi32(shift), e)))));
  }
  cleared_row(mod, pw, src + t, codes + t, shift, len - t, false, vals + t, nullptr);
}

// Rows [b, e) by the lanes, their constants broadcast once: a row of sixteen elements paid as
// much for them as for its reading.
bool rows_by_lanes(const Constants& c, const StridedResidues& num, const StridedResidues& den, int64_t b, int64_t e,
                   int kn, int kd, SideRows& out) {
  const DyadicLaneConstants l = dyadic_lane_constants(c, kn, kd);
  for (int64_t r = b; r < e; ++r)
    if (!out.put(c, num, r, row_terms_by_lanes(l, c, num, den, r, out.len, out.codes + r * out.len, out.vals_of(r))))
      return false;
  return true;
}

}  // namespace
#include "kernels/cpu/lanes_end.h"
