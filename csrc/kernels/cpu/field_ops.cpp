#include <ATen/Parallel.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernels/cpu/field_rows.h"
#include "kernels/field_ops.h"

namespace korvex::kernels {

using exact::kPrimes;

// KORVEX_CPU_LANES=baseline or avx2 keeps the CPU to builds narrower than it runs, so that the
// tests reach them on machines that would never pick them. Read once, as every choice of build
// is made once.
static int widest_allowed() {
  static const int widest = [] {
    const char* v = std::getenv("KORVEX_CPU_LANES");
    if (v && std::strcmp(v, "baseline") == 0) return 0;
    if (v && std::strcmp(v, "avx2") == 0) return 2;
    return 512;
  }();
  return widest;
}

bool cpu_runs_avx512() {
  static const bool avx512 = widest_allowed() >= 512 && __builtin_cpu_supports("avx512f") &&
                             __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
  return avx512;
}

bool cpu_runs_avx2() {
  static const bool avx2 = widest_allowed() >= 2 && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                           __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
  return avx2;
}


void take_last_axis_cpu(const at::Tensor& num, const at::Tensor& den, const at::Tensor& index, at::Tensor& out_num,
                        at::Tensor& out_den) {
  const int64_t L = num.size(-1), K = index.size(-1);
  if (K == 0 || index.numel() == 0) return;
  const int64_t groups = index.numel() / K;
  TORCH_INTERNAL_ASSERT(L <= INT32_MAX && num.numel() == kPrimes * groups * L && out_num.numel() == kPrimes * groups * K);
  std::vector<int32_t> ix32(index.numel());
  const int64_t* pi = index.data_ptr<int64_t>();
  at::parallel_for(0, (int64_t)ix32.size(), 1 << 14, [&](int64_t b, int64_t e) {
    for (int64_t j = b; j < e; ++j) ix32[j] = (int32_t)pi[j];
  });
  const int64_t *sn = num.data_ptr<int64_t>(), *sd = den.data_ptr<int64_t>();
  int64_t *on = out_num.data_ptr<int64_t>(), *od = out_den.data_ptr<int64_t>();
  static const TakeRowFn row = take_row_fn();
  const int64_t rows = kPrimes * groups;
  at::parallel_for(0, 2 * rows, 1, [&](int64_t b, int64_t e) {
    for (int64_t r = b; r < e; ++r) {
      const bool d = r >= rows;
      const int64_t q = d ? r - rows : r;
      row((d ? sd : sn) + q * L, ix32.data() + (q % groups) * K, (d ? od : on) + q * K, K);
    }
  });
}

void field_op_cpu(FieldOp op, const at::Tensor& an, const at::Tensor& ad, const at::Tensor& bn,
                  const at::Tensor& bd, at::Tensor& on, at::Tensor& od) {
  const bool as = an.dim() == 1, bs = bn.dim() == 1;
  const int64_t n = on.size(1);
  // The header's contract: the caller checks it, debug builds check the caller.
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(n > 0);
  for (const at::Tensor* t : std::initializer_list<const at::Tensor*>{&an, &ad, &bn, &bd, &on, &od}) {
    TORCH_INTERNAL_ASSERT_DEBUG_ONLY(t->is_contiguous() && t->scalar_type() == at::kLong && t->device() == on.device());
    TORCH_INTERNAL_ASSERT_DEBUG_ONLY(t->size(0) == kPrimes && (t->dim() == 1 || (t->dim() == 2 && t->size(1) == n)));
  }
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(on.dim() == 2 && od.sizes() == on.sizes() && ad.sizes() == an.sizes() &&
                                   bd.sizes() == bn.sizes());
  const RowFn row = field_row_fn(op, as, bs);
  const int64_t *pan = an.data_ptr<int64_t>(), *pad = ad.data_ptr<int64_t>();
  const int64_t *pbn = bn.data_ptr<int64_t>(), *pbd = bd.data_ptr<int64_t>();
  int64_t *pon = on.data_ptr<int64_t>(), *pod = od.data_ptr<int64_t>();
  const auto& mods = exact::constants().mod;
  // Flattened over (prime, element) so that small tensors with many primes still split.
  at::parallel_for(0, kPrimes * n, 1 << 15, [&](int64_t begin, int64_t end) {
    for (int64_t j = begin / n; j < kPrimes && j * n < end; ++j) {
      const int64_t lo = std::max(begin - j * n, (int64_t)0), hi = std::min(end - j * n, n);
      const int64_t ao = as ? j : j * n, bo = bs ? j : j * n;
      row(mods[j], pan + ao, pad + ao, pbn + bo, pbd + bo, pon + j * n, pod + j * n, lo, hi);
    }
  });
}

}  // namespace korvex::kernels
