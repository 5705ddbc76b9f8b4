#include "kernels/matmul_jobs.h"

#include <ATen/Parallel.h>

#include <algorithm>
#include <atomic>
#include <vector>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "kernels/cpu/dyadic_words.h"
#include "kernels/cpu/field_rows.h"
#include "kernels/cpu/garner_block.h"
#include "kernels/cpu/isa.h"
#include "kernels/exact_jobs.h"

namespace korvex::kernels {

// Work per chunk of the parallel loops (elements, entries): below it a product runs on one
// thread, since waking the pool costs more than small products take, and far more when the
// machine is shared.
constexpr int64_t kRowGrain = 1 << 15;
constexpr int64_t kEntryGrain = 2048;
// Operands up to this many elements form their direct GEMM operand with their side terms.
constexpr int64_t kDirectValues = 4096;

namespace {


KORVEX_ALWAYS_INLINE void fold_row(const exact::ModP& mod, const double* __restrict z1, const double* __restrict z0,
                                   int64_t* __restrict a, int64_t count, bool first) {
  if (first) {
    for (int64_t i = 0; i < count; ++i) a[i] = fold_gemm_block(mod, z1[i], z0[i], 0);
  } else {
    for (int64_t i = 0; i < count; ++i) a[i] = fold_gemm_block(mod, z1[i], z0[i], a[i]);
  }
}

// One row's cleared residues for one prime, as doubles (split: high halves at dst, low at lo).
// The row's residues are contiguous: operand_rows copies those that are not.
KORVEX_ALWAYS_INLINE void cleared_row(const exact::ModP& mod, const int32_t* __restrict pw,
                                      const int64_t* __restrict src, const int32_t* __restrict code, int32_t shift,
                                      int64_t len, bool split, double* __restrict dst, double* __restrict lo) {
  if (split) {
    for (int64_t q = 0; q < len; ++q)
      split_halves(balanced(mod, cleared_residue(mod, pw, src[q], code[q], shift)), dst[q], lo[q]);
  } else {
    for (int64_t q = 0; q < len; ++q) dst[q] = (double)balanced(mod, cleared_residue(mod, pw, src[q], code[q], shift));
  }
}

// dst[c * ds + r] = src[r * ss + c] for r0 <= r < r1, c0 <= c < c1, word by word.
KORVEX_ALWAYS_INLINE void transpose_span(const int64_t* __restrict src, int64_t ss, int64_t r0, int64_t r1, int64_t c0,
                                         int64_t c1, int64_t* __restrict dst, int64_t ds) {
  for (int64_t r = r0; r < r1; ++r)
    for (int64_t c = c0; c < c1; ++c) dst[c * ds + r] = src[r * ss + c];
}

void transpose_words_generic(const int64_t* src, int64_t ss, int64_t rows, int64_t cols, int64_t* dst, int64_t ds) {
  transpose_span(src, ss, 0, rows, 0, cols, dst, ds);
}

// c = a (rows x k) times b^T, b given transposed as bt (k x n): the products of integers that
// sum exactly in doubles in any order, so each row is accumulated across its columns, which
// vectorises without reassociating anything.
KORVEX_ALWAYS_INLINE void gemm_rows(const double* __restrict a, const double* __restrict bt, double* __restrict c,
                                    int64_t rows, int64_t k, int64_t n) {
  for (int64_t r = 0; r < rows; ++r) {
    double* cr = c + r * n;
    for (int64_t j = 0; j < n; ++j) cr[j] = 0;
    for (int64_t q = 0; q < k; ++q) {
      const double x = a[r * k + q];
      const double* b = bt + q * n;
      for (int64_t j = 0; j < n; ++j) cr[j] += x * b[j];
    }
  }
}

void gemm_rows_generic(const double* a, const double* bt, double* c, int64_t rows, int64_t k, int64_t n) {
  gemm_rows(a, bt, c, rows, k, n);
}
// A block of finished entries: numerator (neg ? -1 : 1) |Z'| 2^delta, denominator
// (dneg ? -1 : 1) 2^sd, |Z'| in 31-bit chunks, chunk c holding bits [31 c, 31 c + 31).
constexpr int64_t kEntryBlock = 256;
constexpr int kChunkBits = 31, kMaxChunks = (256 + kChunkBits - 1) / kChunkBits;  // four words

struct EntryBlock {
  u64 chunk[kMaxChunks][kEntryBlock];
  int32_t delta[kEntryBlock], sd[kEntryBlock];
  int32_t neg[kEntryBlock], dneg[kEntryBlock];  // 0 or 1, int32 for the vector loads
  int chunks;  // the widest entry's; the chunks above an entry's own are zero
  // Every entry has the same delta and sd (as products of integers do): the table's two values
  // are read once for the block instead of gathered per entry.
  bool uniform;
};

// One prime's residues of entries [from, cnt) of a block, pw the prime's signed table row at
// 2^0. |Z'| mod p by Horner over the chunks from the top: h < p < 2^31 keeps (h << 31) + chunk
// below 2^62, inside Barrett's range, so each step is one reduction and no multiplication
// by a constant.
KORVEX_ALWAYS_INLINE void entry_row(const exact::ModP& m, const int32_t* __restrict pw, const EntryBlock& e,
                                    int64_t from, int64_t cnt, int64_t* __restrict on, int64_t* __restrict od) {
  for (int64_t q = from; q < cnt; ++q) {
    u64 h = 0;
    for (int k = e.chunks - 1; k >= 0; --k) h = m.reduce((h << kChunkBits) | e.chunk[k][q]);
    u64 n = m.mul(h, (u64)pw[e.delta[q]]);
    if (e.neg[q] && n) n = m.p - n;
    const u64 d = (u64)pw[e.sd[q]];  // 2^k mod p is never 0
    on[q] = (int64_t)n;
    od[q] = (int64_t)(e.dneg[q] ? m.p - d : d);
  }
}

void entry_rows_generic(const exact::ModP* mods, const int32_t* center, const EntryBlock& e, int64_t cnt,
                        int64_t* on, int64_t* od, int64_t row_stride) {
  for (int j = 0; j < kPrimes; ++j)
    entry_row(mods[j], center + j * kSignedPow2Row, e, 0, cnt, on + j * row_stride, od + j * row_stride);
}

// What eight entries of a direct product added to their block (direct_forms).
struct DirectLanes {
  unsigned undecided;  // lanes to be formed one by one instead, as bits
  bool wide;           // some |Z'| needs a second chunk
  bool fits;
  int num_bits, den_bits;
};


void fold_row_generic(const exact::ModP& mod, const double* z1, const double* z0, int64_t* a, int64_t count,
                      bool first) {
  fold_row(mod, z1, z0, a, count, first);
}
// Rows [r0, r1) of an operand for one prime: row r's residues at src + r * sr, its codes at
// code + r * len, its shift L - T from the side terms, its output at dst + r * len (and the
// low halves `half` further on).
struct ClearedRows {
  const int64_t* src;
  const int32_t *code, *L, *T;
  double* dst;
  int64_t sr, len, half;
  bool split;
};

void cleared_rows_generic(const exact::ModP& mod, const int32_t* pw, const ClearedRows& c, int64_t r0, int64_t r1) {
  for (int64_t r = r0; r < r1; ++r) {
    const int64_t o = r * c.len;
    cleared_row(mod, pw, c.src + r * c.sr, c.code + o, c.L[r] - c.T[r], c.len, c.split, c.dst + o,
                c.dst + c.half + o);
  }
}
}  // namespace

const at::Tensor& signed_pow2_table_on(const at::Device& device) {
  return device_table(Table::SignedPow2, device, [] {
    at::Tensor t = at::empty({kPrimes, kSignedPow2Row}, at::kInt);
    int32_t* p = t.data_ptr<int32_t>();
    for (int j = 0; j < kPrimes; ++j) {
      const u64 q = (u64)exact::kModuli[j], half = (q + 1) / 2;  // 2^-1 mod q
      int32_t* row = p + j * kSignedPow2Row + kSignedPow2Zero;
      u64 up = 1, down = 1;
      for (int k = 0; k < kPow2Row; ++k) {
        row[k] = (int32_t)up;
        row[-k] = (int32_t)down;
        up = (up << 1) % q;
        down = down * half % q;
      }
    }
    return t;
  });
}

const int32_t* signed_pow2_cpu() {
  static const int32_t* table = signed_pow2_table_on(at::kCPU).data_ptr<int32_t>();
  return table;
}

namespace {

// Row r's terms, its elements' digits formed a block at a time where they lie in order within
// four residues (operand_rows copies a row that does not lie in order into place). One
// instance per pair of counts: a switch on them per element was a fifth of the work.
template <int KN, int KD>
RowTerms row_terms_by_blocks(const Constants& c, GarnerBlockFn digits, const StridedResidues& num,
                             const StridedResidues& den, int64_t r, int64_t len, int32_t* codes) {
  alignas(64) u64 vn[4][kDigitBlock], vd[4][kDigitBlock];
  RowFold f;
  for (int64_t lo = 0; lo < len; lo += kDigitBlock) {
    const int64_t cnt = std::min(kDigitBlock, len - lo);
    digits(c, num.at(r, lo), num.sp, cnt, KN, vn);
    digits(c, den.at(r, lo), den.sp, cnt, KD, vd);
    for (int64_t i = 0; i < cnt; ++i) {
      u64 nl, nh, dl, dh;
      const bool nneg = exact::detail::signed_2w_of_digits<KN>(c, &vn[0][i], kDigitBlock, nl, nh);
      const bool dneg = exact::detail::signed_2w_of_digits<KD>(c, &vd[0][i], kDigitBlock, dl, dh);
      if (!f.add(shape_of_2w(dneg, dl, dh), shape_of_2w(nneg, nl, nh), codes[lo + i])) return f.rt;
    }
  }
  return f.done();
}

// Where side_terms_cpu puts each row's terms, and the maxima over its rows so far.
using DirectRowFn = void (*)(const exact::ModP&, const int32_t*, const int64_t*, const int32_t*, int32_t, int64_t,
                            double*);

struct SideRows {
  int64_t* S;
  int32_t *L, *T, *codes;
  uint8_t* neg;
  double* vals;  // the direct operand's rows, or null
  DirectRowFn direct_row;  // the lanes' build that forms them
  const int32_t* pw0;
  int64_t len;
  int max_L = 0, bits = 0, gemm_bits = 0;

  double* vals_of(int64_t r) const { return vals ? vals + r * len : nullptr; }
  // Row r's terms; false where it is not dyadic (and the product not for this path).
  bool put(const Constants& c, const StridedResidues& num, int64_t r, const RowTerms& t) {
    if (!t.dyadic) return false;
    L[r] = t.L;
    S[r] = t.S;
    neg[r] = t.neg;
    T[r] = t.T;
    max_L = std::max(max_L, t.L);
    bits = std::max(bits, t.bits);
    gemm_bits = std::max(gemm_bits, t.bits - t.T);
    if (vals && t.bits - t.T <= kDirectBits)
      direct_row(c.mod[0], pw0, num.p + r * num.sr, codes + r * len, t.L - t.T, len, vals_of(r));
    return true;
  }
};

}  // namespace
}  // namespace korvex::kernels

#define KORVEX_LANES_BODY "kernels/cpu/matmul_lanes.h"
#include "kernels/cpu/lanes_both.h"

namespace korvex::kernels {
namespace {

using TransposeFn = void (*)(const int64_t*, int64_t, int64_t, int64_t, int64_t*, int64_t);
TransposeFn transpose_fn() {
  return widest_build<TransposeFn>(&avx512::transpose_words, &avx2::transpose_words, &transpose_words_generic);
}

using RowTermsFn = RowTerms (*)(const Constants&, GarnerBlockFn, const StridedResidues&, const StridedResidues&,
                                int64_t, int64_t, int32_t*);

template <int KN>
RowTermsFn row_terms_by_blocks_for(int kd) {
  switch (kd) {
    case 1: return &row_terms_by_blocks<KN, 1>;
    case 2: return &row_terms_by_blocks<KN, 2>;
    case 3: return &row_terms_by_blocks<KN, 3>;
    default: return &row_terms_by_blocks<KN, 4>;
  }
}

// kn, kd <= 4.
RowTermsFn row_terms_by_blocks_for(int kn, int kd) {
  switch (kn) {
    case 1: return row_terms_by_blocks_for<1>(kd);
    case 2: return row_terms_by_blocks_for<2>(kd);
    case 3: return row_terms_by_blocks_for<3>(kd);
    default: return row_terms_by_blocks_for<4>(kd);
  }
}

}  // namespace

void rows_in_order_cpu(const StridedResidues& src, int k, int64_t rows, int64_t len, int64_t* dst) {
  // In tiles of kTile rows by kTile elements: each tile's source lines are read once instead
  // of a cache line per element. Where the rows' elements lie side by side (the columns of a
  // contiguous B), each tile is a transposition.
  constexpr int64_t kTile = 32;
  static const TransposeFn transpose = transpose_fn();
  const int64_t tiles = (rows + kTile - 1) / kTile;
  at::parallel_for(0, k * tiles, std::max<int64_t>(1, (1 << 16) / (kTile * len)), [&](int64_t b, int64_t e) {
    for (int64_t w = b; w < e; ++w) {
      const int64_t j = w / tiles, r0 = (w % tiles) * kTile, r1 = std::min(rows, r0 + kTile);
      for (int64_t t0 = 0; t0 < len; t0 += kTile) {
        const int64_t t1 = std::min(len, t0 + kTile);
        int64_t* out = dst + (j * rows + r0) * len + t0;
        if (src.sr == 1) {
          transpose(src.at(r0, t0) + j * src.sp, src.st, t1 - t0, r1 - r0, out, len);
          continue;
        }
        for (int64_t t = t0; t < t1; ++t) {
          const int64_t* in = src.at(0, t) + j * src.sp;
          for (int64_t r = r0; r < r1; ++r) out[(r - r0) * len + (t - t0)] = in[r * src.sr];
        }
      }
    }
  });
}

SideTerms side_terms_cpu(const StridedResidues& num, const StridedResidues& den, int64_t rows, int64_t len, int kn,
                         int kd) {
  const bool lanes = cpu_runs_avx2() && kn <= 2 && kd <= 4 && len >= 8 && num.st == 1 && den.st == 1 &&
                     num.sp == den.sp;
  static const auto by_lanes = cpu_runs_avx512() ? &avx512::rows_by_lanes : &avx2::rows_by_lanes;
  static const DirectRowFn direct_row =
      cpu_runs_avx512() ? &avx512::direct_cleared_row : &avx2::direct_cleared_row;
  // Operands of products small enough for the CPU's own GEMM: there the direct operand costs
  // a scaling of values the lanes have read anyway, where its own pass cost as much as they.
  const bool values = lanes && rows * len <= kDirectValues;
  SideTerms s(rows, len, at::kCPU, values);
  const Constants& c = exact::constants();
  const int32_t* pw0 = signed_pow2_cpu();
  static const GarnerBlockFn digits =
      widest_build<GarnerBlockFn>(&avx512::garner_blocks, &avx2::garner_blocks, &garner_block_generic);
  const bool blocks = kn <= 4 && kd <= 4 && (len <= 1 || (num.st == 1 && den.st == 1));
  const RowTermsFn by_blocks = blocks ? row_terms_by_blocks_for(kn, kd) : nullptr;
  std::atomic<bool> dyadic{true};
  std::atomic<int> max_L{0}, bits{0}, gemm_bits{0};
  // Each element's shape is a few nanoseconds of scalar work: chunks as small as the entries'.
  at::parallel_for(0, rows, std::max<int64_t>(1, kEntryGrain / len), [&](int64_t b, int64_t e) {
    SideRows out{s.S, s.L, s.T, s.codes, s.neg, s.cleared, direct_row, pw0, len};
    bool ok = true;
    if (lanes) {
      ok = by_lanes(c, num, den, b, e, kn, kd, out);
    } else {
      for (int64_t r = b; r < e && ok && dyadic; ++r) {
        int32_t* codes = s.codes + r * len;
        ok = out.put(c, num, r, blocks ? by_blocks(c, digits, num, den, r, len, codes)
                                        : row_terms(c, num, den, r, len, kn, kd, codes));
      }
    }
    if (!ok) {
      dyadic = false;
      return;
    }
    exact::atomic_max(max_L, out.max_L);
    exact::atomic_max(bits, out.bits);
    exact::atomic_max(gemm_bits, out.gemm_bits);
  });
  s.dyadic = dyadic.load();
  s.max_L = max_L.load();
  s.bits = bits.load();
  s.gemm_bits = gemm_bits.load();
  if (s.gemm_bits > kDirectBits) s.cleared = nullptr;  // some row has none
  return s;
}

void cleared_operand_cpu(const StridedResidues& num, int64_t rows, int64_t len, int kz, const SideTerms& t,
                         bool split, at::Tensor& out) {
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(out.is_contiguous() && out.scalar_type() == at::kDouble &&
                                   out.size(0) == kz && out.size(1) == (split ? 2 : 1) * rows);
  const int32_t *pc = t.codes, *pl = t.L, *pt = t.T;
  double* po = out.data_ptr<double>();
  const int32_t* tab = signed_pow2_cpu();
  const auto& mods = exact::constants().mod;
  const int64_t plane = (split ? 2 : 1) * rows * len, half = rows * len;
  TORCH_INTERNAL_ASSERT(num.st == 1 || len <= 1);
  static const auto rows_fn = widest_build(&avx512::cleared_rows, &avx2::cleared_rows, &cleared_rows_generic);
  // Prime by prime over each chunk of rows, so that each output row is written in order.
  at::parallel_for(0, rows, std::max<int64_t>(1, kRowGrain / len), [&](int64_t b, int64_t e) {
    for (int j = 0; j < kz; ++j) {
      const ClearedRows c{num.p + j * num.sp, pc, pl, pt, po + j * plane, num.sr, len, half, split};
      rows_fn(mods[j], tab + j * kSignedPow2Row, c, b, e);
    }
  });
}

void small_gemm_cpu(const double* xa, const double* xb, int64_t kz, int64_t rows, int64_t k, int64_t n,
                    double* out) {
  static const auto row_fn = widest_build(&avx512::gemm_rows, &avx2::gemm_rows, &gemm_rows_generic);
  static const TransposeFn transpose = transpose_fn();
  // Kept by the thread between products: a fresh one is an allocation and a clearing.
  thread_local std::vector<double> bt;
  if ((int64_t)bt.size() < k * n) bt.resize(k * n);
  for (int64_t j = 0; j < kz; ++j) {
    // Doubles moved as the words they are.
    transpose(reinterpret_cast<const int64_t*>(xb + j * n * k), k, n, k, reinterpret_cast<int64_t*>(bt.data()), n);
    row_fn(xa + j * rows * k, bt.data(), out + j * rows * n, rows, k, n);
  }
}

void fold_block_cpu(const at::Tensor& z, int kz, int64_t m, int64_t n, bool first, at::Tensor& acc) {
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(z.is_contiguous() && acc.is_contiguous() && acc.size(1) == m * n);
  const double* pz = z.data_ptr<double>();
  int64_t* pa = acc.data_ptr<int64_t>();
  const auto& mods = exact::constants().mod;
  const int64_t count = m * n;
  static const auto row_fn = widest_build(&avx512::fold_rows, &avx2::fold_rows, &fold_row_generic);
  // Prime by prime, so that no index is divided in the loop; small products in one go.
  at::parallel_for(0, kz, count >= kRowGrain ? 1 : kz, [&](int64_t b, int64_t e) {
    for (int64_t j = b; j < e; ++j) {
      const double* z1 = pz + j * 2 * count;
      const double* z0 = z1 + count;
      row_fn(mods[j], z1, z0, pa + j * count, count, first);
    }
  });
}

FinishStats finish_entries_cpu(const at::Tensor& acc, int kz, bool direct, int64_t m, int64_t n,
                               const SideTerms& a, const SideTerms& b, at::Tensor& on, at::Tensor& od) {
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(acc.is_contiguous() && acc.size(0) >= kz && acc.size(1) == m * n);
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(on.is_contiguous() && od.is_contiguous() && on.numel() == kPrimes * m * n);
  const int64_t* pz = direct ? nullptr : acc.data_ptr<int64_t>();
  const double* pzd = direct ? acc.data_ptr<double>() : nullptr;
  const int32_t *pla = a.L, *plb = b.L, *pta = a.T, *ptb = b.T;
  const int64_t *psa = a.S, *psb = b.S;
  const uint8_t *pna = a.neg, *pnb = b.neg;
  int64_t *pon = on.data_ptr<int64_t>(), *pod = od.data_ptr<int64_t>();
  const int32_t* tab = signed_pow2_cpu();
  const Constants& c = exact::constants();
  const int64_t count = m * n;
  std::atomic<int> nbits{0}, dbits{0};
  std::atomic<bool> fits{true};
  const bool words = direct || kz <= kWordPrimes;
  static const auto rows_fn = widest_build(&avx512::entry_rows, &avx2::entry_rows, &entry_rows_generic);
  static const GarnerBlockFn digits =
      widest_build<GarnerBlockFn>(&avx512::garner_blocks, &avx2::garner_blocks, &garner_block_generic);
  static_assert(kEntryBlock == kDigitBlock, "one block of entries is one block of digits");
  const int32_t* center = tab + kSignedPow2Zero;
  const bool lanes = direct && cpu_runs_avx2();
  static const auto forms = cpu_runs_avx512() ? &avx512::direct_forms : &avx2::direct_forms;
  at::parallel_for(0, count, kEntryGrain, [&](int64_t b0, int64_t e0) {
    int lnb = 0, ldb = 0;
    bool lf = true;
    EntryBlock eb_;
    alignas(64) u64 v[kWordPrimes][kDigitBlock];
    for (int64_t blk = b0; blk < e0; blk += kEntryBlock) {
      const int64_t cnt = std::min(kEntryBlock, e0 - blk);
      if (words && !direct) digits(c, pz + blk, count, cnt, kz, v);
      int chunks = 1;
      bool uniform = true;
      // Entry (i, j) stepped along rather than divided out of its index: the form of a small
      // integer entry is only a few dozen instructions, and the division is one of the slowest.
      int64_t i = blk / n, j = blk % n;
      for (int64_t q = 0; q < cnt; j = j + 1 == n ? (++i, 0) : j + 1, ++q) {
        const int64_t idx = blk + q;
        const RowTerms ra{pla[i], psa[i], pna[i] != 0, pta[i]};
        if (lanes && j + 8 <= n && q + 8 <= cnt) {
          const DirectLanes d = forms(pzd + idx, ra, plb + j, psb + j, pnb + j, ptb + j, eb_, q);
          if (!d.undecided) {
            if (d.wide && chunks < 2) {
              std::fill(eb_.chunk[1], eb_.chunk[1] + q, u64(0));
              chunks = 2;
            }
            for (int l = 0; l < 8; ++l)
              uniform = uniform && eb_.delta[q + l] == eb_.delta[0] && eb_.sd[q + l] == eb_.sd[0];
            lf = lf && d.fits;
            lnb = std::max(lnb, d.num_bits);
            ldb = std::max(ldb, d.den_bits);
            // The loop's own step moves on past the eighth.
            q += 7;
            j += 7;
            continue;
          }
        }
        const RowTerms rb{plb[j], psb[j], pnb[j] != 0, ptb[j]};
        EntryBits eb;
        if (words) {
          EntryForm f;
          if (direct) {
            const int64_t zd = (int64_t)pzd[idx];  // an integer below 2^53
            f = entry_form(c, &zd, count, kz, true, ra, rb);
          } else {
            f.zneg = words_of_digits(c, &v[0][q], kDigitBlock, kz, f.x);
            entry_form_of(c, ra, rb, f);
          }
          eb = f.bits;
          // The entry's own chunks; zeros up to the block's widest so far, and for the earlier
          // entries where this one is wider.
          const int own = std::max(1, (f.xb + kChunkBits - 1) / kChunkBits);
          for (int k = 0; k < own; ++k) {
            const int pos = kChunkBits * k, li = pos / 64, bi = pos % 64;
            u64 w = f.x[li] >> bi;
            if (bi > 64 - kChunkBits && li + 1 < 4) w |= f.x[li + 1] << (64 - bi);
            eb_.chunk[k][q] = w & ((1ull << kChunkBits) - 1);
          }
          for (int k = own; k < chunks; ++k) eb_.chunk[k][q] = 0;
          for (int k = chunks; k < own; ++k) std::fill(eb_.chunk[k], eb_.chunk[k] + q, u64(0));
          chunks = std::max(chunks, own);
          // Past the range the table is not read at these: the product raises.
          eb_.delta[q] = eb.fits ? f.delta : 0;
          eb_.sd[q] = eb.fits ? f.sd : 0;
          uniform = uniform && eb_.delta[q] == eb_.delta[0] && eb_.sd[q] == eb_.sd[0];
          eb_.neg[q] = f.flip != f.zneg;
          eb_.dneg[q] = f.dneg;
        } else {
          eb = finish_entry_wide(c, tab, pz + idx, count, kz, ra, rb, pon + idx, pod + idx, count);
        }
        lf = lf && eb.fits;
        lnb = std::max(lnb, eb.num_bits);
        ldb = std::max(ldb, eb.den_bits);
      }
      // An entry past the range: the product raises, and nothing it wrote is kept.
      if (!words || !lf) continue;
      eb_.chunks = chunks;
      eb_.uniform = uniform;
      rows_fn(c.mod, center, eb_, cnt, pon + blk, pod + blk, count);
    }
    exact::atomic_max(nbits, lnb);
    exact::atomic_max(dbits, ldb);
    if (!lf) fits = false;
  });
  return {nbits.load(), dbits.load(), fits.load()};
}

}  // namespace korvex::kernels
