#include <ATen/Parallel.h>

#include <algorithm>

#include "kernels/cpu/field_rows.h"
#include "kernels/field_ops.h"

namespace korvex::kernels {

using exact::kPrimes;

bool cpu_runs_avx512() {
  static const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                             __builtin_cpu_supports("avx512vl");
  return avx512;
}

namespace {

// The widest build of the row loops this CPU runs.
RowFn field_row_fn(FieldOp op, bool as, bool bs) {
  return cpu_runs_avx512() ? field_row_avx512(op, as, bs) : field_row_generic(op, as, bs);
}

}  // namespace

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
