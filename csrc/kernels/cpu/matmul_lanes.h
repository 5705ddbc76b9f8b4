// The matrix product's loops in lanes (matmul_jobs.cpp): the side terms read by the lanes, the
// cleared operands, the small GEMM and the entries. Built once per vector width: no include
// guard, included by matmul_jobs.cpp through lanes_both.h.
#include "kernels/cpu/lanes_begin.h"
namespace {

#include "kernels/cpu/dyadic_lanes.h"

// The same terms as row_terms_by_blocks, from the lanes' reading (dyadic_lanes: kn <= 2,
// kd <= 4, each row's residues in order and the numerators' and denominators' primes alike
// apart): eight elements' shapes at once wherever all eight are mag / 2^k, folded as vector
// extremes and sums, and the element path for any other block and for the ragged end.
// Narrow where kn == 1: the magnitudes are then below 2^31.
template <bool Narrow>
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
    // The signed magnitudes, for direct_cleared_row, and their bit lengths. Where the values
    // are used, a row's cleared values have at most kDirectBits bits, so these as many and no
    // more: above 2^53 their ten low bits are zero, and clearing them first, so that the
    // conversion's rounding cannot carry to the next power of two, changes none of them.
    Words b;
    if (Narrow) {
      if (vals) store(vals + t, signed_to_doubles(select(d.neg, sub(zero(), d.mag), d.mag)));
      b = bit_length_narrow(d.mag);
    } else {
      const Words exact = set1((int64_t(1) << 53) - 1);
      const Doubles m = to_doubles(select(gt(d.mag, exact), band(d.mag, set1(~int64_t(1023))), d.mag));
      if (vals) store(vals + t, select(d.neg, negate(m), m));
      b = bit_length_of_integral(m);
    }
    store_i32(codes + t, shl<1>(d.k));
    top = max(top, d.k);
    sum = add(sum, d.k);
    const Mask nz = nonzero(d.mag);
    const Words z = Narrow ? trailing_zeros_narrow(d.mag) : trailing_zeros(d.mag);
    wide = select(nz, max(wide, sub(b, d.k)), wide);
    low = select(nz, min(low, sub(z, d.k)), low);
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
  auto rows = [&](auto narrow) {
    for (int64_t r = b; r < e; ++r)
      if (!out.put(c, num, r,
                   row_terms_by_lanes<decltype(narrow)::value>(l, c, num, den, r, out.len, out.codes + r * out.len,
                                                               out.vals_of(r))))
        return false;
    return true;
  };
  return kn == 1 ? rows(std::true_type{}) : rows(std::false_type{});
}

// c = a (rows x k) times b^T as gemm_rows, with each row's sums in registers, four vectors of
// columns at a time: the compiler's loop stored and reloaded the row for every q.
void gemm_rows(const double* a, const double* bt, double* c, int64_t rows, int64_t k, int64_t n) {
  const int64_t nb = n & ~int64_t(7);
  for (int64_t r = 0; r < rows; ++r) {
    const double* ar = a + r * k;
    double* cr = c + r * n;
    int64_t j = 0;
    for (; j + 32 <= nb; j += 32) {
      Doubles s0 = set1_double(0), s1 = s0, s2 = s0, s3 = s0;
      for (int64_t q = 0; q < k; ++q) {
        const Doubles x = set1_double(ar[q]);
        const double* b = bt + q * n + j;
        s0 = fmadd(x, load_doubles(b), s0);
        s1 = fmadd(x, load_doubles(b + 8), s1);
        s2 = fmadd(x, load_doubles(b + 16), s2);
        s3 = fmadd(x, load_doubles(b + 24), s3);
      }
      store(cr + j, s0);
      store(cr + j + 8, s1);
      store(cr + j + 16, s2);
      store(cr + j + 24, s3);
    }
    for (; j < nb; j += 8) {
      Doubles s0 = set1_double(0);
      for (int64_t q = 0; q < k; ++q) s0 = fmadd(set1_double(ar[q]), load_doubles(bt + q * n + j), s0);
      store(cr + j, s0);
    }
    for (; j < n; ++j) {
      double s0 = 0;
      for (int64_t q = 0; q < k; ++q) s0 += ar[q] * bt[q * n + j];
      cr[j] = s0;
    }
  }
}

// entry_rows_generic eight entries at a time: the compiler vectorises neither the table's
// gathers nor the Horner loop over a run-time chunk count.
void entry_rows(const exact::ModP* mods, const int32_t* center, const EntryBlock& e, int64_t cnt, int64_t* on,
                int64_t* od, int64_t row_stride) {
  int64_t from = 0;
  if (e.uniform && e.chunks == 1 && e.delta[0] == 0) {
    // Entries below 2^31 times 2^0, as integer products mostly are: each residue is the chunk
    // itself less p where it is not already below p, and the denominator's the table's one
    // power. A prime's rows are written whole before the next's: forty rows written side by
    // side lie 8 * row_stride bytes apart, which for products of 256 entries is 2 KB, and
    // then all fall in two of the first-level cache's sets.
    int64_t least = INT64_MAX;
    for (int j = 0; j < kPrimes; ++j) least = std::min(least, (int64_t)mods[j].p);
    const Words below = set1(least);
    // Groups of eight below every prime and over positive denominators, as small integers'
    // products are: there each residue is h or p - h by one sign flag.
    alignas(64) int32_t flip[kEntryBlock];
    bool plain[kEntryBlock / 8];
    const int64_t whole = cnt & ~int64_t(7);
    for (int64_t q = 0; q < whole; q += 8) {
      const Words h = load(e.chunk[0] + q);
      plain[q / 8] = bits(gt(below, h)) == 0xff && bits(flags(e.dneg + q)) == 0;
      store_i32(flip + q, select(flags(e.neg + q) & nonzero(h), set1(1), zero()));
    }
    for (int j = 0; j < kPrimes; ++j) {
      const Words vp = set1((int64_t)mods[j].p);
      const Words d = set1((int64_t)(uint32_t)center[j * kSignedPow2Row + e.sd[0]]), nd = sub(vp, d);
      int64_t* rn = on + j * row_stride;
      int64_t* rd = od + j * row_stride;
      for (int64_t q = 0; q < whole; q += 8) {
        const Words h = load(e.chunk[0] + q);
        if (plain[q / 8]) {
          store(rn + q, select(flags(flip + q), sub(vp, h), h));
          store(rd + q, d);
          continue;
        }
        const Words r = csub(h, vp);
        store(rn + q, select(flags(e.neg + q) & nonzero(r), sub(vp, r), r));
        store(rd + q, select(flags(e.dneg + q), nd, d));
      }
    }
    from = whole;
  }
  for (int j = 0; j < kPrimes; ++j) {
    const exact::ModP& m = mods[j];
    const int32_t* pw = center + j * kSignedPow2Row;
    int64_t* rn = on + j * row_stride;
    int64_t* rd = od + j * row_stride;
    const Words vp = set1((int64_t)m.p), vmu = set1((int64_t)m.mu);
    const Words ua = set1((int64_t)(uint32_t)pw[e.delta[0]]), ub = set1((int64_t)(uint32_t)pw[e.sd[0]]);
    int64_t q = from;
    for (; q + 8 <= cnt; q += 8) {
      // The top chunk as it is: below 2^31, so the next step's (h << 31) + chunk and the
      // product with the table's power both stay below 2^62, inside Barrett's range.
      Words h = load(e.chunk[e.chunks - 1] + q);
      for (int k = e.chunks - 2; k >= 0; --k) h = reduce(bor(shl<kChunkBits>(h), load(e.chunk[k] + q)), vp, vmu);
      const Words wa = e.uniform ? ua : gather_u32(pw, _mm256_loadu_si256((const __m256i*)(e.delta + q)));
      const Words wb = e.uniform ? ub : gather_u32(pw, _mm256_loadu_si256((const __m256i*)(e.sd + q)));
      const Words r = reduce(mul32(h, wa), vp, vmu);
      const Mask flip = flags(e.neg + q) & nonzero(r);
      store(rn + q, select(flip, sub(vp, r), r));
      store(rd + q, select(flags(e.dneg + q), sub(vp, wb), wb));
    }
    entry_row(m, pw, e, q, cnt, rn, rd);
  }
}

// entry_form_of for entries (i, j .. j + 7) of a direct product at once, into positions
// q .. q + 7 of the block: Z' is the double z[0..7], an integer below 2^53, so its bit length
// and trailing zeros are those of exact doubles. The lanes where Z u v / (R C) lands on the
// congruence bound itself need the big comparison, and the caller forms those entries one by
// one.
DirectLanes direct_forms(const double* z, const RowTerms& ra, const int32_t* lb, const int64_t* sb, const uint8_t* nb,
                         const int32_t* tb, EntryBlock& e, int64_t q) {
  const Words zero_ = zero(), one = set1(1);
  const Words fit_bits = set1(exact::kFitBits);
  const Doubles zd = load_doubles(z);
  const Mask zneg = negative(zd);
  const Words xz = magnitudes(zd);
  const Mask nz = nonzero(xz);
  // Zero lanes read the shape of 1, which only zero lanes' masked-off results use.
  const Words x1 = select(nz, xz, one);
  // Zero lanes' bit length is garbage, which only their masked-off results see.
  const Words xb = bit_length_of_integral(zd);
  const Words ctz = trailing_zeros_narrow(x1);
  const Words bL = widen_i32(_mm256_loadu_si256((const __m256i*)lb));
  const Words bT = widen_i32(_mm256_loadu_si256((const __m256i*)tb));
  const Words bS = load(sb);
  const Mask bneg = nonzero(load_u8(nb));
  const Mask sign = ra.neg ? ~bneg : bneg;
  const Words aL = set1(ra.L), aS = set1(ra.S);
  const Words tz = add(set1(ra.T), bT);
  const Words zb = select(nz, add(xb, tz), zero_);
  // The unreduced form: both denominator products and theirs inside the range, and Z u v.
  const Words sd_u = add(aS, bS);
  const Mask cond = (ra.S <= exact::kFitBits ? first(8) : first(0)) & ~gt(bS, fit_bits) & ~gt(sd_u, fit_bits);
  const Words w = sub(sub(sd_u, aL), bL);
  const Words zw = add(zb, w);
  const Mask fit = cond & ~gt(zw, fit_bits);
  const Mask undecided = cond & ~fit & eq(zw, set1(exact::kCongruenceBits));
  // Lowest terms: only a common power of two cancels against 2^(L_i + L'_j).
  const Words shift = add(aL, bL);
  const Words t = select(nz, min(add(ctz, tz), shift), shift);
  const Words sd_l = sub(shift, t);
  const Words sd = select(fit, sd_u, sd_l);
  // As entry_form_of: an exact division by 2^-delta is made on |Z'|, and delta is then 0.
  const Words delta_l = sub(tz, t);
  const Words x = select(fit, xz, shr(xz, max(sub(zero_, delta_l), zero_)));
  const Words delta = select(fit, add(w, tz), max(delta_l, zero_));
  const Words nbits = select(nz, select(fit, zw, sub(zb, t)), zero_);
  const Mask fits = fit | ~gt(sd_l, fit_bits);
  const Mask flip = fit & sign;
  // Past the range the table is not read at these: the product raises.
  store_i32(e.delta + q, select(fits, delta, zero_));
  store_i32(e.sd + q, select(fits, sd, zero_));
  store_i32(e.neg + q, select(flip ^ zneg, one, zero_));
  store_i32(e.dneg + q, select(flip, one, zero_));
  const Words mask = set1((int64_t(1) << kChunkBits) - 1);
  store(e.chunk[0] + q, band(x, mask));
  store(e.chunk[1] + q, shr<kChunkBits>(x));
  DirectLanes r;
  r.undecided = bits(undecided);
  r.wide = bits(gt(x, mask)) != 0;
  r.fits = bits(fits) == 0xff;
  r.num_bits = (int)max_lane(nbits);
  r.den_bits = (int)max_lane(sd) + 1;
  return r;
}

// cleared_row eight lanes at a time, as the compiler does not vectorise the gather of the
// table: Barrett as in ModP, the sign and balancing as selections.
KORVEX_ALWAYS_INLINE void cleared_row_lanes(const exact::ModP& mod, Words vp, Words vmu, Words vhalf, const int32_t* pw,
                                            const int64_t* src, const int32_t* code, int32_t shift, int64_t len,
                                            bool split, double* dst, double* lo) {
  const __m256i base = _mm256_set1_epi32(kSignedPow2Zero + shift), one = _mm256_set1_epi32(1);
  int64_t q = 0;
  for (; q + 8 <= len; q += 8) {
    const __m256i c = _mm256_loadu_si256((const __m256i*)(code + q));
    const Words pw2 = gather_u32(pw, _mm256_sub_epi32(base, _mm256_srai_epi32(c, 1)));
    Words x = reduce(mul32(load(src + q), pw2), vp, vmu);
    const Mask flip = nonzero(widen_u32(_mm256_and_si256(c, one))) & nonzero(x);
    x = select(flip, sub(vp, x), x);
    const Words v = select(gt(x, vhalf), sub(x, vp), x);
    if (split) {
      const Words x0 = sub(band(add(v, set1(32768)), set1(65535)), set1(32768));
      store(lo + q, signed_to_doubles(x0));
      // v - x0 is a multiple of 2^16: scaled as a double, exactly.
      store(dst + q, mul(signed_to_doubles(sub(v, x0)), set1_double(0x1p-16)));
    } else {
      store(dst + q, signed_to_doubles(v));
    }
  }
  cleared_row(mod, pw, src + q, code + q, shift, len - q, split, dst + q, lo + q);
}

// The prime's constants once for all the rows: short rows paid for them, and for a call, each.
void cleared_rows(const exact::ModP& mod, const int32_t* pw, const ClearedRows& c, int64_t r0, int64_t r1) {
  const Words vp = set1((int64_t)mod.p), vmu = set1((int64_t)mod.mu), vhalf = set1((int64_t)(mod.p >> 1));
  for (int64_t r = r0; r < r1; ++r) {
    const int64_t o = r * c.len;
    cleared_row_lanes(mod, vp, vmu, vhalf, pw, c.src + r * c.sr, c.code + o, c.L[r] - c.T[r], c.len, c.split,
                      c.dst + o, c.dst + c.half + o);
  }
}

// transpose_words_generic in 8 x 8 blocks wherever whole blocks remain.
void transpose_words(const int64_t* src, int64_t ss, int64_t rows, int64_t cols, int64_t* dst, int64_t ds) {
  const int64_t rb = rows & ~int64_t(7), cb = cols & ~int64_t(7);
  for (int64_t r0 = 0; r0 < rb; r0 += 8)
    for (int64_t c0 = 0; c0 < cb; c0 += 8) transpose8x8(src + r0 * ss + c0, ss, dst + c0 * ds + r0, ds);
  transpose_span(src, ss, 0, rb, cb, cols, dst, ds);
  transpose_span(src, ss, rb, rows, 0, cols, dst, ds);
}

// The baseline bodies that vectorise as they are, built for this width.
void fold_rows(const exact::ModP& mod, const double* z1, const double* z0, int64_t* a, int64_t count, bool first) {
  fold_row(mod, z1, z0, a, count, first);
}
void garner_blocks(const exact::Constants& c, const int64_t* r, int64_t stride, int64_t cnt, int k,
                   std::uint64_t (*v)[kDigitBlock]) {
  garner_block(c, r, stride, cnt, k, v);
}

}  // namespace
#include "kernels/cpu/lanes_end.h"
