#include "arithmetic/kernels.h"

#include <ATen/Parallel.h>

#include "arithmetic/field_rows.h"
#include "exact/moduli.h"
#include "record/pool.h"
#include "record/record.h"

namespace korvex::arithmetic {

using exact::kPrimes;
using exact::ModP;
using u64 = std::uint64_t;

namespace {

// The widest build of the row loops this CPU runs.
RowFn field_row_fn(FieldOp op, bool as, bool bs) {
  static const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                             __builtin_cpu_supports("avx512vl");
  return avx512 ? field_row_avx512(op, as, bs) : field_row_generic(op, as, bs);
}

std::pair<at::Tensor, at::Tensor> field_op_cpu(FieldOp op, const at::Tensor& an, const at::Tensor& ad,
                                               const at::Tensor& bn, const at::Tensor& bd, int64_t n) {
  const bool as = an.dim() == 1, bs = bn.dim() == 1;
  at::Tensor on = record::empty_residues({kPrimes, n}, an.device());
  at::Tensor od = record::empty_residues({kPrimes, n}, an.device());
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
  return {on, od};
}

}  // namespace

std::pair<at::Tensor, at::Tensor> field_op_residues(FieldOp op, const at::Tensor& an, const at::Tensor& ad,
                                                    const at::Tensor& bn, const at::Tensor& bd, int64_t n) {
  if (an.is_cpu() && bn.is_cpu() && n > 0 && !record::generic_kernels_only()) return field_op_cpu(op, an, ad, bn, bd, n);
  // Any other device: the same formulas as plain ATen ops, reduced after every step.
  const at::Tensor p = record::primes_on(an.device()).view({kPrimes, 1});
  auto col = [&](const at::Tensor& t) { return t.dim() == 1 ? t.view({kPrimes, 1}) : t; };
  const at::Tensor a = col(an), b = col(ad), c = col(bn), d = col(bd);
  at::Tensor x, y;
  switch (op) {
    case FieldOp::Add: x = ((a * d) % p + (b * c) % p) % p; y = (b * d) % p; break;
    case FieldOp::Sub: x = ((a * d) % p - (b * c) % p) % p; y = (b * d) % p; break;
    case FieldOp::Mul: x = (a * c) % p; y = (b * d) % p; break;
    case FieldOp::Div: x = (a * d) % p; y = (b * c) % p; break;
  }
  return {x.expand({kPrimes, n}).contiguous(), y.expand({kPrimes, n}).contiguous()};
}

at::Tensor negate_residues(const at::Tensor& r) {
  const at::Tensor p = record::primes_on(r.device()).view({kPrimes, 1});
  return (-r.reshape({kPrimes, -1})).remainder(p).view(r.sizes());
}

}  // namespace korvex::arithmetic
