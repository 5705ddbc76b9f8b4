#include "kernels/small_det.h"

#include <ATen/ATen.h>

#include <algorithm>
#include <vector>

#include "kernels/cpu/dyadic_words.h"
#include "kernels/cpu/field_rows.h"
#include "kernels/cpu/isa.h"
#include "kernels/matmul_elements.h"
#include "kernels/matmul_jobs.h"

namespace korvex::kernels {

namespace {

constexpr int kMaxEntries = kMaxSmallDet * kMaxSmallDet;

constexpr int kPadded = (kMaxEntries + 7) / 8 * 8;

// The lanes of every prime, three groups of eight (the last four idle, repeating a live prime):
// their arithmetic and which lanes are live.
constexpr int kGroups = (kPrimes + 7) / 8;

constexpr int lane_prime(int g, int i) { return 8 * g + (8 * g + i < kPrimes ? i : 0); }

constexpr int kLanes = 8 * kGroups;

// A prime-major table of `rows` entries per prime, at(j, x), laid out by row: entry x of every
// lane's prime at [x * kLanes + lane], so that one row's eight primes of a group are one load.
template <class At>
std::vector<int32_t> lane_major(int rows, At at) {
  std::vector<int32_t> t((size_t)rows * kLanes);
  for (int x = 0; x < rows; ++x)
    for (int g = 0; g < kGroups; ++g)
      for (int i = 0; i < 8; ++i) t[(size_t)x * kLanes + 8 * g + i] = (int32_t)at(lane_prime(g, i), x);
  return t;
}

// The signed table by exponent: 2^x modulo every lane's prime at [(kSignedPow2Zero + x) *
// kLanes + lane], so that one entry's powers are three plain loads, where gathering them from
// the prime-major table cost as much as the entry's arithmetic.
const int32_t* lane_pow2() {
  static const std::vector<int32_t> table = [] {
    const int32_t* spow2 = signed_pow2_cpu();
    return lane_major(kSignedPow2Row, [&](int j, int x) { return spow2[j * kSignedPow2Row + x]; });
  }();
  return table.data();
}

// 2^(28 q) modulo every lane's prime at [q * kLanes + lane]: the chunk powers of
// exact::residue_of_chunks, laid out for residues_of_values.
const int32_t* lane_chunk_pow() {
  static const std::vector<int32_t> table = [] {
    const exact::Constants& c = exact::constants();
    return lane_major(exact::Constants::kChunks, [&](int j, int q) { return c.chunk_pow[j][q]; });
  }();
  return table.data();
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

}  // namespace
}  // namespace korvex::kernels

#define KORVEX_LANES_BODY "kernels/cpu/small_det_lanes.h"
#include "kernels/cpu/lanes_both.h"

namespace korvex::kernels {
namespace {

// The lanes' build this CPU runs, or null where it has neither width.
struct SmallDetLanes {
  bool (*entries)(const int64_t*, const int64_t*, int64_t, int, int, int, DyadicEntry*);
  bool (*det)(const Cleared&, int, int64_t*, int&);
  bool (*cramer)(const Cleared&, int, int64_t*, int64_t (*)[kPrimes], int64_t (*)[kPrimes], int&);
  void (*values)(const int64_t* const*, int, int, exact::SBig*);
  void (*residues)(const exact::SBig* const*, int64_t* const*, int, int);
};

const SmallDetLanes* small_det_lanes() {
  static const SmallDetLanes wide{&avx512::dyadic_entries, &avx512::det_residues, &avx512::cramer_residues,
                                  &avx512::signed_values, &avx512::residues_of_values};
  static const SmallDetLanes narrow{&avx2::dyadic_entries, &avx2::det_residues, &avx2::cramer_residues,
                                    &avx2::signed_values, &avx2::residues_of_values};
  return widest_build<const SmallDetLanes*>(&wide, &narrow, nullptr);
}

}  // namespace

bool dyadic_entries_cpu(const int64_t* pn, const int64_t* pd, int64_t stride, int count, int kn, int kd,
                        DyadicEntry* out) {
  const SmallDetLanes* lanes = small_det_lanes();
  if (kn > 2 || kd > 4 || count > kMaxEntries || !lanes) return false;
  return lanes->entries(pn, pd, stride, count, kn, kd, out);
}

bool small_det_cpu(const DyadicEntry* a, int n, SmallDet& out) {
  const SmallDetLanes* lanes = small_det_lanes();
  if (n < 1 || n > kMaxSmallDet || !lanes) return false;
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
  // det = z 2^shift for the cleared matrix's z, taken modulo the primes its bound needs; the
  // other primes' residues follow from its value, for less than a group of lanes costs.
  int64_t z[kPrimes];
  const int k = exact::primes_for_bits((int)x.bound);
  int done = 0;
  if (!lanes->det(x, k, z, done)) return false;
  exact::SBig& v = out.num;
  v = exact::crt_signed(c, z, 1, k);
  if (done < kPrimes) {
    const exact::SBig* x = &v;
    int64_t* const res = z;
    lanes->residues(&x, &res, 1, done / 8);
  }
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
  const SmallDetLanes* lanes = small_det_lanes();
  if (n < 1 || n > kMaxSmallDet || !lanes) return false;
  DyadicEntry ab[kMaxSmallDet * (kMaxSmallDet + 1)];
  for (int r = 0; r < n; ++r) {
    std::copy_n(a + r * n, n, ab + r * (n + 1));
    ab[r * (n + 1) + n] = b[r];
  }
  const Cleared x = cleared(ab, n, n + 1);
  const exact::Constants& c = exact::constants();
  if (x.zero_row || x.bound > c.prefix_fit_bits[kPrimes]) return false;
  // The residues modulo the primes the bound needs; the other primes' follow from the
  // reduced components, for less than the elimination on more lanes costs.
  int64_t det_res[kPrimes], x_res[kMaxSmallDet][kPrimes], num_res[kMaxSmallDet][kPrimes];
  const int k = exact::primes_for_bits((int)x.bound);
  int done = 0;
  if (!lanes->cramer(x, k, det_res, x_res, num_res, done)) return false;
  // Every determinant carries the same 2^shift of the clearing, which their quotients drop.
  const int64_t* dets[kMaxSmallDet + 1] = {det_res};
  for (int i = 0; i < n; ++i) dets[i + 1] = num_res[i];
  exact::SBig values[kMaxSmallDet + 1];
  lanes->values(dets, n + 1, k, values);
  const exact::SBig& det = values[0];
  const int32_t* spow2 = signed_pow2_cpu();
  // The residues modulo the primes past `done` are taken at the end, in one pass over the
  // lanes, of every numerator and of each denominator not an earlier component's.
  const exact::SBig* rest[2 * kMaxSmallDet];
  int64_t* rest_out[2 * kMaxSmallDet];
  int rests = 0;
  int same[kMaxSmallDet];
  for (int i = 0; i < n; ++i) {
    exact::SBig& q = out.num[i];
    exact::SBig& d = out.den[i];
    q = values[i + 1];
    d = det;
    // x_i = q / d over their gcd 2^t o.
    const exact::UBig g = exact::ubig_gcd(q.mag, d.mag);
    const int t = exact::ubig_ctz(g);
    const bool odd = exact::ubig_power_of_two(g) < 0;
    exact::reduce_fraction_by(q, d, g);
    const bool flip = det.neg;
    // The denominator's residues: those of an earlier component with the same denominator
    // (they often share it); else, where det and d share only +-2^t, det's over it from the
    // table; else its own. The numerator's are x_i times them.
    int64_t* dr = out.den_res[i];
    same[i] = -1;
    for (int j = 0; j < i && same[i] < 0; ++j)
      if (exact::ubig_cmp(out.den[j].mag, d.mag) == 0) same[i] = j;
    if (same[i] >= 0) {
      std::copy_n(out.den_res[same[i]], done, dr);
    } else if (!odd) {
      for (int j = 0; j < done; ++j) {
        const exact::ModP& m = c.mod[j];
        const std::uint64_t b =
            m.mul((std::uint64_t)det_res[j], (std::uint64_t)spow2[j * kSignedPow2Row + kSignedPow2Zero - t]);
        dr[j] = (int64_t)(flip && b ? m.p - b : b);
      }
    } else {
      exact::residues_of(c, d, dr, 1, done);
    }
    if (same[i] < 0 && done < kPrimes) {
      rest[rests] = &d;
      rest_out[rests++] = dr;
    }
    for (int j = 0; j < done; ++j)
      out.num_res[i][j] = (int64_t)c.mod[j].mul((std::uint64_t)x_res[i][j], (std::uint64_t)dr[j]);
    if (done < kPrimes) {
      rest[rests] = &q;
      rest_out[rests++] = out.num_res[i];
    }
  }
  if (done < kPrimes) {
    lanes->residues(rest, rest_out, rests, done / 8);
    for (int i = 0; i < n; ++i)
      if (same[i] >= 0) std::copy_n(out.den_res[same[i]] + done, kPrimes - done, out.den_res[i] + done);
  }
  return true;
}

}  // namespace korvex::kernels
