#include "kernels/small_det.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <vector>

#include "kernels/cpu/dyadic_words.h"
#include "kernels/cpu/field_rows.h"
#include "kernels/cpu/isa.h"
#include "kernels/matmul_elements.h"
#include "kernels/matmul_jobs.h"

KORVEX_INTRINSICS_BEGIN

namespace korvex::kernels {

namespace {

constexpr int kMaxEntries = kMaxSmallDet * kMaxSmallDet;

constexpr int kPadded = (kMaxEntries + 7) / 8 * 8;

KORVEX_AVX512 bool dyadic_entries_avx512(const int64_t* pn, const int64_t* pd, int64_t stride, int count, int kn,
                                         int kd, DyadicEntry* out) {
  const DyadicLaneConstants l = dyadic_lane_constants(exact::constants(), kn, kd);
  // The lanes read eight at a time: padded copies, numerators 0 over denominators 1 past the end.
  alignas(64) int64_t bn[2][kPadded], bd[4][kPadded];
  for (int j = 0; j < kn; ++j) {
    std::copy_n(pn + j * stride, count, bn[j]);
    std::fill(bn[j] + count, bn[j] + kPadded, 0);
  }
  for (int j = 0; j < kd; ++j) {
    std::copy_n(pd + j * stride, count, bd[j]);
    std::fill(bd[j] + count, bd[j] + kPadded, 1);
  }
  alignas(64) std::uint64_t mag[8];
  alignas(64) int64_t k[8];
  for (int b = 0; b < count; b += 8) {
    const DyadicLanes d = dyadic_lanes(l, bn[0] + b, bd[0] + b, kPadded);
    if (d.ok != 0xff) return false;
    _mm512_store_si512(mag, d.mag);
    _mm512_store_si512(k, d.k);
    for (int i = 0; i < 8 && b + i < count; ++i) out[b + i] = {mag[i], (int32_t)k[i], (d.neg >> i & 1) != 0};
  }
  return true;
}

// Eight primes' arithmetic, the lanes' p, mu and p 2^31 broadcast per group.
struct Lanes {
  __m512i p, mu, top;

  KORVEX_AVX512 KORVEX_ALWAYS_INLINE __m512i mul(__m512i a, __m512i b) const {
    return reduce8(_mm512_mul_epu32(a, b), p, mu);
  }
  // a x - f y: both products below p^2, so their sum (with p - y) is below 2 p 2^31, and one
  // conditional subtraction of p 2^31 brings it under reduce8's 2^62.
  KORVEX_AVX512 KORVEX_ALWAYS_INLINE __m512i mul_sub(__m512i a, __m512i x, __m512i f, __m512i y) const {
    __m512i s = _mm512_add_epi64(_mm512_mul_epu32(a, x), _mm512_mul_epu32(f, _mm512_sub_epi64(p, y)));
    s = _mm512_min_epu64(s, _mm512_sub_epi64(s, top));
    return reduce8(s, p, mu);
  }
};

// The lanes of every prime, three groups of eight (the last four idle, repeating a live prime):
// their arithmetic and which lanes are live.
constexpr int kGroups = (kPrimes + 7) / 8;

constexpr int lane_prime(int g, int i) { return 8 * g + (8 * g + i < kPrimes ? i : 0); }

KORVEX_AVX512 void all_primes(Lanes* v, __mmask8* act) {
  const exact::Constants& c = exact::constants();
  for (int g = 0; g < kGroups; ++g) {
    act[g] = (__mmask8)((1u << std::min(8, kPrimes - 8 * g)) - 1);
    alignas(64) int64_t p[8], mu[8];
    for (int i = 0; i < 8; ++i) {
      p[i] = (int64_t)c.mod[lane_prime(g, i)].p;
      mu[i] = (int64_t)c.mod[lane_prime(g, i)].mu;
    }
    v[g].p = _mm512_load_si512(p);
    v[g].mu = _mm512_load_si512(mu);
    v[g].top = _mm512_slli_epi64(v[g].p, 31);
  }
}

// The signed table by exponent: 2^x modulo every lane's prime at [(kSignedPow2Zero + x) *
// kLanes + lane], so that one entry's powers are three plain loads, where gathering them from
// the prime-major table cost as much as the entry's arithmetic.
constexpr int kLanes = 8 * kGroups;

const int32_t* lane_pow2() {
  static const std::vector<int32_t> table = [] {
    const int32_t* spow2 = signed_pow2_cpu();
    std::vector<int32_t> t((size_t)kSignedPow2Row * kLanes);
    for (int x = 0; x < kSignedPow2Row; ++x)
      for (int g = 0; g < kGroups; ++g)
        for (int i = 0; i < 8; ++i) t[(size_t)x * kLanes + 8 * g + i] = spow2[lane_prime(g, i) * kSignedPow2Row + x];
    return t;
  }();
  return table.data();
}

// x^(p - 2) = x^-1 for x != 0 on every prime's lanes, the bits of each lane's exponent taken
// from the bottom so that the two products of a step are independent.
KORVEX_AVX512 KORVEX_ALWAYS_INLINE void inverses(const Lanes* v, __m512i* x, __m512i* r) {
  constexpr int G = kGroups;
  __m512i ex[G];
  for (int g = 0; g < G; ++g) {
    ex[g] = _mm512_sub_epi64(v[g].p, _mm512_set1_epi64(2));
    r[g] = _mm512_set1_epi64(1);
  }
  for (int bit = 0; bit < 31; ++bit) {
    const __m512i b = _mm512_set1_epi64(1ll << bit);
    for (int g = 0; g < G; ++g) {
      r[g] = _mm512_mask_mov_epi64(r[g], _mm512_test_epi64_mask(ex[g], b), v[g].mul(r[g], x[g]));
      x[g] = v[g].mul(x[g], x[g]);
    }
  }
}


// A matrix of n rows of w entries (w = n, or n + 1 with a right-hand side) cleared row by row:
// row r over 2^t_r, the largest power of two dividing all its values, so that rows of integers
// (stored as v 2^s / 2^s) clear to v rather than v 2^s. Every square matrix of its columns has
// a determinant of at most `bound` bits (Hadamard's bound over the rows' largest entries),
// 2^-shift times that of the uncleared one.
struct Cleared {
  const DyadicEntry* a;
  int n, w;
  int32_t t[kMaxSmallDet];
  int64_t bound = 0, shift = 0;
  bool zero_row = false;
};

// ceil(log2 n^(n/2)): |det| <= prod_r |row_r| <= n^(n/2) prod_r max_c |a_rc|.
constexpr int kHadamardBits[kMaxSmallDet + 1] = {0, 0, 1, 3, 4, 6};

Cleared cleared(const DyadicEntry* a, int n, int w) {
  Cleared m;
  m.a = a;
  m.n = n;
  m.w = w;
  m.bound = kHadamardBits[n];
  // The matrix product's row fold: T - L is the row's shared power of two, bits - T the bit
  // length of its largest cleared value.
  for (int r = 0; r < n; ++r) {
    RowFold f;
    int32_t code;
    for (int col = 0; col < w; ++col) {
      const DyadicEntry& x = a[r * w + col];
      const u64 den[2] = {x.e < 64 ? 1ull << x.e : 0, x.e < 64 ? 0 : 1ull << (x.e - 64)};
      f.add(shape_of_2w(false, den[0], den[1]), shape_of_2w(x.neg, x.mag, 0), code);
    }
    const RowTerms rt = f.done();
    m.zero_row |= !f.any;
    m.t[r] = rt.T - rt.L;
    m.bound += rt.bits - rt.T;
    m.shift += m.t[r];
  }
  return m;
}

// Division-free elimination on G groups of eight primes at once: each row update
// r <- piv r - f pivot_row scales the determinant by piv, which one inverse per lane takes out
// at the end. The groups share every step, so that the long chains of the inverses (and of the
// products) run side by side rather than one after the other. Pivots are chosen alike on every
// lane; a column whose candidates vanish on some lanes only is refused.
struct Groups {
  static constexpr int G = kGroups;
  static constexpr int kMaxWide = kMaxSmallDet * (kMaxSmallDet + 1);
  Lanes v[G];
  __mmask8 act[G];
  __m512i m[G][kMaxWide];
  int n = 0, w = 0;
  int row[kMaxSmallDet];  // the rows in pivot order, as offsets into m
  __m512i diag[G], scale[G];
  bool negate = false;

  // Entry (r, c) of the cleared matrix is a_rc 2^-t_r, an integer: its residue is mag mod p
  // times 2^(-e - t_r) from the signed table, negated with the entry.
  KORVEX_AVX512 void load(const Cleared& x) {
    const int32_t* pow2 = lane_pow2() + (int64_t)kSignedPow2Zero * kLanes;
    n = x.n;
    w = x.w;
    all_primes(v, act);
    for (int g = 0; g < G; ++g) {
      for (int r = 0; r < n; ++r) {
        for (int col = 0; col < w; ++col) {
          const DyadicEntry& e = x.a[r * w + col];
          const __m512i mag = reduce8(_mm512_set1_epi64((long long)e.mag), v[g].p, v[g].mu);
          const int32_t* at = pow2 + (int64_t)(-e.e - x.t[r]) * kLanes + 8 * g;
          const __m512i pw = _mm512_cvtepu32_epi64(_mm256_loadu_si256((const __m256i*)at));
          const __m512i y = v[g].mul(mag, pw);
          m[g][r * w + col] = e.neg ? negated(g, y) : y;
        }
      }
    }
  }

  KORVEX_AVX512 KORVEX_ALWAYS_INLINE __m512i negated(int g, __m512i y) const {
    return _mm512_maskz_sub_epi64(_mm512_test_epi64_mask(y, y), v[g].p, y);
  }
  // Whether entry k is non-zero on every live lane of every group; zero on every one.
  KORVEX_AVX512 KORVEX_ALWAYS_INLINE bool nonzero(int k) const {
    bool all = true;
    for (int g = 0; g < G; ++g) all &= (_mm512_test_epi64_mask(m[g][k], m[g][k]) & act[g]) == act[g];
    return all;
  }
  KORVEX_AVX512 KORVEX_ALWAYS_INLINE bool zero(int k) const {
    bool none = true;
    for (int g = 0; g < G; ++g) none &= (_mm512_test_epi64_mask(m[g][k], m[g][k]) & act[g]) == 0;
    return none;
  }

  enum Outcome { Triangular, Singular, Refused };

  // The first n - 1 columns cleared below their pivots, the products of the pivots so far in
  // diag and of the row scalings in scale. Singular: a column is clear on every lane, so the
  // determinant is 0 modulo every prime.
  KORVEX_AVX512 Outcome eliminate() {
    for (int i = 0; i < n; ++i) row[i] = i * w;
    for (int g = 0; g < G; ++g) diag[g] = scale[g] = _mm512_set1_epi64(1);
    negate = false;
    for (int k = 0; k < n - 1; ++k) {
      int p = k;
      while (p < n && !nonzero(row[p] + k)) ++p;
      if (p == n) {
        for (int i = k; i < n; ++i)
          if (!zero(row[i] + k)) return Refused;
        return Singular;
      }
      if (p != k) {
        std::swap(row[p], row[k]);
        negate = !negate;
      }
      const int pk = row[k];
      for (int g = 0; g < G; ++g) diag[g] = v[g].mul(diag[g], m[g][pk + k]);
      for (int i = k + 1; i < n; ++i) {
        const int ri = row[i];
        if (zero(ri + k)) continue;  // already clear: no scaling
        for (int g = 0; g < G; ++g) {
          const __m512i piv = m[g][pk + k], f = m[g][ri + k];
          for (int j = k + 1; j < w; ++j) m[g][ri + j] = v[g].mul_sub(m[g][ri + j], piv, f, m[g][pk + j]);
          scale[g] = v[g].mul(scale[g], piv);
        }
      }
    }
    return Triangular;
  }

  // +-diag / scale, once diag holds every pivot.
  KORVEX_AVX512 KORVEX_ALWAYS_INLINE __m512i signed_quotient(int g, __m512i inv_scale) const {
    const __m512i d = v[g].mul(diag[g], inv_scale);
    return negate ? negated(g, d) : d;
  }

  KORVEX_AVX512 bool det(__m512i* det) {
    const Outcome o = eliminate();
    if (o == Refused) return false;
    if (o == Singular) {
      for (int g = 0; g < G; ++g) det[g] = _mm512_setzero_si512();
      return true;
    }
    __m512i inv[G];
    for (int g = 0; g < G; ++g) diag[g] = v[g].mul(diag[g], m[g][row[n - 1] + n - 1]);
    inverses(v, scale, inv);
    for (int g = 0; g < G; ++g) det[g] = signed_quotient(g, inv[g]);
    return true;
  }

  // For w = n + 1: det(A), the solution x by back substitution, and every det(A_i) (column i
  // replaced by the right-hand side) as x_i det(A). False unless every pivot is non-zero on
  // every lane, which a singular system never has.
  KORVEX_AVX512 bool cramer(__m512i* det, __m512i (*x)[G], __m512i (*num)[G]) {
    if (eliminate() != Triangular || !nonzero(row[n - 1] + n - 1)) return false;
    // One inverse per lane for the n pivots and the scaling: prefix products, then back.
    __m512i prefix[G][kMaxSmallDet + 1], inv[G][kMaxSmallDet + 1], all[G];
    for (int g = 0; g < G; ++g) {
      diag[g] = v[g].mul(diag[g], m[g][row[n - 1] + n - 1]);
      prefix[g][0] = m[g][row[0]];
      for (int k = 1; k < n; ++k) prefix[g][k] = v[g].mul(prefix[g][k - 1], m[g][row[k] + k]);
      prefix[g][n] = v[g].mul(prefix[g][n - 1], scale[g]);
      all[g] = prefix[g][n];
    }
    __m512i total[G];
    inverses(v, all, total);
    for (int g = 0; g < G; ++g) {
      __m512i t = total[g];
      inv[g][n] = v[g].mul(t, prefix[g][n - 1]);  // 1 / scale
      t = v[g].mul(t, scale[g]);
      for (int k = n - 1; k > 0; --k) {
        inv[g][k] = v[g].mul(t, prefix[g][k - 1]);
        t = v[g].mul(t, m[g][row[k] + k]);
      }
      inv[g][0] = t;
      det[g] = signed_quotient(g, inv[g][n]);
      for (int i = n - 1; i >= 0; --i) {
        const int ri = row[i];
        __m512i s = m[g][ri + n];
        for (int j = i + 1; j < n; ++j) s = v[g].mul_sub(s, _mm512_set1_epi64(1), m[g][ri + j], x[j][g]);
        x[i][g] = v[g].mul(s, inv[g][i]);
        num[i][g] = v[g].mul(x[i][g], det[g]);
      }
    }
    return true;
  }
};

// The values of up to eight residue vectors (value i's residue modulo p_j at res[i][j]) from
// their first k primes: Garner's digits formed digit by digit across the lanes, where one
// value after another is a chain of dependent products.
static_assert(kMaxSmallDet + 1 <= 8, "a system's determinants fit one vector of lanes");
KORVEX_AVX512 void signed_values(const int64_t* const* res, int count, int k, exact::SBig* out) {
  const exact::Constants& c = exact::constants();
  alignas(64) std::uint64_t digits[kPrimes][8];
  alignas(64) int64_t lanes[8] = {};
  __m512i v[kPrimes];
  for (int j = 0; j < k; ++j) {
    const exact::ModP& m = c.mod[j];
    const __m512i p = _mm512_set1_epi64((long long)m.p), mu = _mm512_set1_epi64((long long)m.mu);
    for (int i = 0; i < count; ++i) lanes[i] = res[i][j];
    __m512i t = _mm512_load_si512(lanes);
    // exact::garner_step on the lanes: digit q is below p_q < 2 p_j.
    for (int q = 0; q < j; ++q) {
      const __m512i vq = _mm512_min_epu64(v[q], _mm512_sub_epi64(v[q], p));
      __m512i d = _mm512_sub_epi64(_mm512_add_epi64(t, p), vq);
      d = _mm512_min_epu64(d, _mm512_sub_epi64(d, p));
      t = reduce8(_mm512_mul_epu32(d, _mm512_set1_epi64((long long)c.inv[q][j])), p, mu);
    }
    v[j] = t;
    _mm512_store_si512(digits[j], t);
  }
  for (int i = 0; i < count; ++i) out[i] = exact::signed_of_digits(c, &digits[0][i], 8, k);
}

KORVEX_AVX512 KORVEX_ALWAYS_INLINE void store_lanes(__m512i x, int64_t* out, int count) {
  alignas(64) int64_t lanes[8];
  _mm512_store_si512(lanes, x);
  std::copy_n(lanes, count, out);
}

// The determinant's residues modulo every prime.
KORVEX_AVX512 bool det_residues_avx512(const Cleared& x, int64_t* res) {
  Groups w;
  w.load(x);
  __m512i det[kGroups];
  if (!w.det(det)) return false;
  for (int g = 0; g < kGroups; ++g) store_lanes(det[g], res + 8 * g, std::min(8, kPrimes - 8 * g));
  return true;
}

// Cramer's rule modulo every prime: det(A) into det, x_i into x[i], det(A_i) into num[i].
KORVEX_AVX512 bool cramer_residues_avx512(const Cleared& c, int64_t* det, int64_t (*x)[kPrimes],
                                          int64_t (*num)[kPrimes]) {
  Groups w;
  w.load(c);
  __m512i d[kGroups], xs[kMaxSmallDet][kGroups], y[kMaxSmallDet][kGroups];
  if (!w.cramer(d, xs, y)) return false;
  for (int g = 0; g < kGroups; ++g) {
    const int live = std::min(8, kPrimes - 8 * g);
    store_lanes(d[g], det + 8 * g, live);
    for (int i = 0; i < c.n; ++i) {
      store_lanes(xs[i][g], x[i] + 8 * g, live);
      store_lanes(y[i][g], num[i] + 8 * g, live);
    }
  }
  return true;
}

}  // namespace

bool dyadic_entries_cpu(const int64_t* pn, const int64_t* pd, int64_t stride, int count, int kn, int kd,
                        DyadicEntry* out) {
  if (kn > 2 || kd > 4 || count > kMaxEntries || !cpu_runs_avx512()) return false;
  return dyadic_entries_avx512(pn, pd, stride, count, kn, kd, out);
}

bool small_det_cpu(const DyadicEntry* a, int n, SmallDet& out) {
  if (n < 1 || n > kMaxSmallDet || !cpu_runs_avx512()) return false;
  const Cleared x = cleared(a, n, n);
  const exact::Constants& c = exact::constants();
  out.den = exact::SBig();
  out.den.mag = exact::UBig(1);
  if (x.zero_row) {
    out.num = exact::SBig();
    std::fill_n(out.num_res, kPrimes, 0);
    std::fill_n(out.den_res, kPrimes, 1);
    return true;
  }
  if (x.bound > c.prefix_fit_bits[kPrimes]) return false;
  // det = z 2^shift for the cleared matrix's z.
  int64_t z[kPrimes];
  if (!det_residues_avx512(x, z)) return false;
  exact::SBig& v = out.num;
  v = exact::crt_signed(c, z, 1, exact::primes_for_bits((int)x.bound));
  // gcd(z 2^shift, 2^-shift) is 2 to the lesser of ctz(z) and -shift.
  const int64_t up = v.mag.is_zero() ? 0 : std::max<int64_t>(x.shift, -(int64_t)exact::ubig_ctz(v.mag));
  const int64_t down = v.mag.is_zero() ? 0 : up - x.shift;
  if (v.mag.bit_length() + up > exact::kFitBits || down + 1 > exact::kFitBits) return false;
  if (up >= 0) exact::ubig_shl(v.mag, (int)up);
  else exact::ubig_shr(v.mag, (int)-up);
  exact::ubig_shl(out.den.mag, (int)down);
  const int32_t* spow2 = signed_pow2_cpu();
  for (int j = 0; j < kPrimes; ++j) {
    const int32_t* row = spow2 + j * kSignedPow2Row + kSignedPow2Zero;
    out.num_res[j] = (int64_t)c.mod[j].mul((std::uint64_t)z[j], (std::uint64_t)row[up]);
    out.den_res[j] = row[down];
  }
  return true;
}

bool small_cramer_cpu(const DyadicEntry* a, const DyadicEntry* b, int n, SmallCramer& out) {
  if (n < 1 || n > kMaxSmallDet || !cpu_runs_avx512()) return false;
  DyadicEntry ab[kMaxSmallDet * (kMaxSmallDet + 1)];
  for (int r = 0; r < n; ++r) {
    std::copy_n(a + r * n, n, ab + r * (n + 1));
    ab[r * (n + 1) + n] = b[r];
  }
  const Cleared x = cleared(ab, n, n + 1);
  const exact::Constants& c = exact::constants();
  if (x.zero_row || x.bound > c.prefix_fit_bits[kPrimes]) return false;
  // Every prime's residues, not only those the bound needs: the inverse's chains take as long
  // for one group of lanes as for three, and the components' residues follow from them.
  int64_t det_res[kPrimes], x_res[kMaxSmallDet][kPrimes], num_res[kMaxSmallDet][kPrimes];
  if (!cramer_residues_avx512(x, det_res, x_res, num_res)) return false;
  // Every determinant carries the same 2^shift of the clearing, which their quotients drop.
  const int64_t* dets[kMaxSmallDet + 1] = {det_res};
  for (int i = 0; i < n; ++i) dets[i + 1] = num_res[i];
  exact::SBig values[kMaxSmallDet + 1];
  signed_values(dets, n + 1, exact::primes_for_bits((int)x.bound), values);
  const exact::SBig& det = values[0];
  const int32_t* spow2 = signed_pow2_cpu();
  for (int i = 0; i < n; ++i) {
    exact::SBig& q = out.num[i];
    exact::SBig& d = out.den[i];
    q = values[i + 1];
    d = det;
    // x_i = q / d over their gcd 2^k o.
    const exact::UBig g = exact::ubig_gcd(q.mag, d.mag);
    const int k = exact::ubig_ctz(g);
    const bool odd = exact::ubig_power_of_two(g) < 0;
    exact::reduce_fraction_by(q, d, g);
    const bool flip = det.neg;
    // The denominator's residues: det's over +-2^k from the table where that is all they share,
    // else those of an earlier component with the same denominator (they often share it), else
    // its own. The numerator's are x_i times them.
    int64_t* dr = out.den_res[i];
    int same = -1;
    for (int j = 0; j < i && same < 0 && odd; ++j)
      if (exact::ubig_cmp(out.den[j].mag, d.mag) == 0) same = j;
    if (!odd) {
      for (int j = 0; j < kPrimes; ++j) {
        const exact::ModP& m = c.mod[j];
        const std::uint64_t b =
            m.mul((std::uint64_t)det_res[j], (std::uint64_t)spow2[j * kSignedPow2Row + kSignedPow2Zero - k]);
        dr[j] = (int64_t)(flip && b ? m.p - b : b);
      }
    } else if (same >= 0) {
      std::copy_n(out.den_res[same], kPrimes, dr);
    } else {
      exact::residues_of(c, d, dr, 1);
    }
    for (int j = 0; j < kPrimes; ++j)
      out.num_res[i][j] = (int64_t)c.mod[j].mul((std::uint64_t)x_res[i][j], (std::uint64_t)dr[j]);
  }
  return true;
}

}  // namespace korvex::kernels

KORVEX_INTRINSICS_END
