#include "kernels/sum_jobs.h"

#include <ATen/Parallel.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "kernels/cpu/accumulate.h"
#include "kernels/cpu/dyadic_words.h"
#include "kernels/cpu/field_rows.h"
#include "kernels/cpu/garner_block.h"
#include "kernels/exact_jobs.h"
#include "kernels/scan_elements.h"

namespace korvex::kernels {

namespace {

void assert_rows(const Rows& x) {
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(x.num.is_cpu() && x.num.is_contiguous() && x.num.scalar_type() == at::kLong &&
                                   x.num.dim() == 2 && x.num.size(0) >= x.kn);
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(x.den.is_cpu() && x.den.is_contiguous() && x.den.scalar_type() == at::kLong &&
                                   x.den.dim() == 2 && x.den.size(0) >= x.kd && x.den.size(1) == x.num.size(1));
}

DyadicOperand operand_of(const Rows& x) {
  return {x.num.data_ptr<int64_t>(), x.den.data_ptr<int64_t>(), x.kn, x.kd};
}

// The products of elements [lo, hi) of operands within four residues added into `a`, each
// operand row's Garner digits formed a block at a time.
KORVEX_ALWAYS_INLINE bool dot_rows(const Constants& c, const DyadicOperand& x, const DyadicOperand& y, int64_t stride,
                                   int64_t lo, int64_t hi, int scale, DyadicAcc& a) {
  alignas(64) u64 vxn[4][kDigitBlock], vxd[4][kDigitBlock], vyn[4][kDigitBlock], vyd[4][kDigitBlock];
  for (int64_t b = lo; b < hi; b += kDigitBlock) {
    const int64_t cnt = std::min(kDigitBlock, hi - b);
    garner_block(c, x.num + b, stride, cnt, x.kn, vxn);
    garner_block(c, x.den + b, stride, cnt, x.kd, vxd);
    garner_block(c, y.num + b, stride, cnt, y.kn, vyn);
    garner_block(c, y.den + b, stride, cnt, y.kd, vyd);
    for (int64_t i = 0; i < cnt; ++i) {
      SmallSigned nx, dx, ny, dy;
      nx.neg = signed_2w_of_block(c, vxn, x.kn, i, nx.lo, nx.hi);
      dx.neg = signed_2w_of_block(c, vxd, x.kd, i, dx.lo, dx.hi);
      ny.neg = signed_2w_of_block(c, vyn, y.kn, i, ny.lo, ny.hi);
      dy.neg = signed_2w_of_block(c, vyd, y.kd, i, dy.lo, dy.hi);
      if (!add_small_product(nx, dx, ny, dy, scale, a)) return false;
    }
  }
  return true;
}

bool dot_rows_generic(const Constants& c, const DyadicOperand& x, const DyadicOperand& y, int64_t stride, int64_t lo,
                      int64_t hi, int scale, DyadicAcc& a) {
  return dot_rows(c, x, y, stride, lo, hi, scale, a);
}

KORVEX_AVX512 bool dot_rows_avx512(const Constants& c, const DyadicOperand& x, const DyadicOperand& y, int64_t stride,
                                   int64_t lo, int64_t hi, int scale, DyadicAcc& a) {
  return dot_rows(c, x, y, stride, lo, hi, scale, a);
}

KORVEX_AVX2 bool dot_rows_avx2(const Constants& c, const DyadicOperand& x, const DyadicOperand& y, int64_t stride,
                               int64_t lo, int64_t hi, int scale, DyadicAcc& a) {
  return dot_rows(c, x, y, stride, lo, hi, scale, a);
}

}  // namespace
}  // namespace korvex::kernels

#define KORVEX_LANES_BODY "kernels/cpu/dot_lanes.h"
#include "kernels/cpu/lanes_both.h"

namespace korvex::kernels {
namespace {
}  // namespace

bool dyadic_dot_cpu(const Rows& x, const Rows& y, int scale, DyadicAcc& acc) {
  assert_rows(x);
  assert_rows(y);
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(x.num.size(1) == y.num.size(1));
  const int64_t n = x.num.size(1);
  const DyadicOperand ox = operand_of(x), oy = operand_of(y);
  const Constants& c = exact::constants();
  const bool small = ox.kn <= 4 && ox.kd <= 4 && oy.kn <= 4 && oy.kd <= 4;
  if (cpu_runs_avx2() && ox.kn <= 2 && oy.kn <= 2 && small) {
    static const auto words = cpu_runs_avx512() ? &avx512::dot_words : &avx2::dot_words;
    return accumulate_chunks(n, [&](int64_t lo, int64_t hi, DyadicAcc& a) {
      return words(c, ox, oy, n, lo, hi, scale, a);
    }, acc);
  }
  static const auto rows = widest_build(&dot_rows_avx512, &dot_rows_avx2, &dot_rows_generic);
  return accumulate_chunks(n, [&](int64_t lo, int64_t hi, DyadicAcc& a) {
    if (small) return rows(c, ox, oy, n, lo, hi, scale, a);
    for (int64_t k = lo; k < hi; ++k)
      if (!add_dyadic_product(c, ox, oy, n, k, scale, a)) return false;
    return true;
  }, acc);
}

RunningStats dyadic_cumsum_cpu(const Rows& x, int scale, at::Tensor& out_num, at::Tensor& out_den) {
  assert_rows(x);
  const int64_t n = x.num.size(1);
  const DyadicOperand ox = operand_of(x);
  const Constants& c = exact::constants();
  RunningStats stats;
  const int64_t chunks = (n + kRunChunk - 1) / kRunChunk;
  if (chunks == 0) return stats;
  // Each chunk's total, then (in place) the sum of all chunks before it: one pass of 44-limb
  // additions per chunk, a small fraction of the replay's work.
  std::vector<DyadicAcc> before(chunks);
  std::atomic<bool> dyadic{true};
  at::parallel_for(0, chunks, 64, [&](int64_t b, int64_t e) {
    for (int64_t q = b; q < e && dyadic; ++q) {
      DyadicAcc& a = before[q];
      a.clear();
      const int64_t hi = std::min(n, (q + 1) * kRunChunk);
      for (int64_t k = q * kRunChunk; k < hi; ++k) {
        if (!add_dyadic_element(c, ox.num + k, ox.den + k, n, ox.kn, ox.kd, scale, a)) {
          dyadic = false;
          return;
        }
      }
    }
  });
  if (!dyadic) {
    stats.status = kRunNotDyadic;
    return stats;
  }
  DyadicAcc run;
  run.clear();
  acc_exclusive_scan(before.data(), chunks, run);
  const int32_t* pow2 = pow2_table_on(at::kCPU).data_ptr<int32_t>();
  int64_t* on = out_num.data_ptr<int64_t>();
  int64_t* od = out_den.data_ptr<int64_t>();
  std::atomic<int> status{kRunDone}, nb{0}, db{0};
  at::parallel_for(0, chunks, 16, [&](int64_t b, int64_t e) {
    int lnb = 0, ldb = 0;
    for (int64_t q = b; q < e && status.load() == kRunDone; ++q) {
      DyadicValue start;
      int s = kRunOverflow;
      if (acc_lowest(c, before[q], scale, start))
        s = replay_running_sum(c, pow2, ox, n, q * kRunChunk, std::min(n, (q + 1) * kRunChunk), start, on, od, lnb,
                               ldb);
      if (s != kRunDone) exact::atomic_max(status, s);
    }
    exact::atomic_max(nb, lnb);
    exact::atomic_max(db, ldb);
  });
  stats.status = status.load();
  stats.num_bits = nb.load();
  stats.den_bits = db.load();
  return stats;
}

RunningStats dyadic_row_sums_cpu(const Rows& x, int64_t m, int scale, at::Tensor& out_num, at::Tensor& out_den) {
  assert_rows(x);
  const int64_t n = x.num.size(1), rows = out_num.size(1);
  const DyadicOperand ox = operand_of(x);
  const Constants& c = exact::constants();
  const int32_t* pow2 = pow2_table_on(at::kCPU).data_ptr<int32_t>();
  int64_t* on = out_num.data_ptr<int64_t>();
  int64_t* od = out_den.data_ptr<int64_t>();
  std::atomic<int> status{kRunDone}, nb{0}, db{0};
  at::parallel_for(0, rows, std::max<int64_t>(1, 4096 / std::max<int64_t>(m, 1)), [&](int64_t b, int64_t e) {
    int lnb = 0, ldb = 0;
    RowSum s;
    for (int64_t o = b; o < e && status.load() == kRunDone; ++o) {
      const int st = sum_dyadic_row(c, ox, n, o * m, m, scale, s)
                         ? write_row_sum(c, pow2, s, scale, on + o, od + o, rows, lnb, ldb)
                         : kRunNotDyadic;
      if (st != kRunDone) exact::atomic_max(status, st);
    }
    exact::atomic_max(nb, lnb);
    exact::atomic_max(db, ldb);
  });
  RunningStats stats;
  stats.status = status.load();
  stats.num_bits = nb.load();
  stats.den_bits = db.load();
  return stats;
}

}  // namespace korvex::kernels
