#include "arithmetic/kernels.h"

#include "exact/moduli.h"
#include "kernels/device.h"
#include "kernels/field_ops.h"
#include "record/pool.h"

namespace korvex::arithmetic {

using exact::kPrimes;

namespace {

// The launchers read raw pointers: anything they would misread goes to the ATen formulas,
// which raise PyTorch's own errors for it.
bool fits_launcher(const at::Tensor& t, const at::Device& device, int64_t n) {
  if (t.device() != device || t.scalar_type() != at::kLong || !t.is_contiguous()) return false;
  if (t.dim() == 1) return t.size(0) == kPrimes;
  return t.dim() == 2 && t.size(0) == kPrimes && t.size(1) == n;
}

std::pair<at::Tensor, at::Tensor> field_op_aten(FieldOp op, const at::Tensor& an, const at::Tensor& ad,
                                                const at::Tensor& bn, const at::Tensor& bd, int64_t n) {
  // The same formulas as plain ATen ops, reduced after every step.
  const at::Tensor p = kernels::primes_on(an.device()).view({kPrimes, 1});
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

}  // namespace

// CPU and CUDA run field_element(), every other device (and KORVEX_GENERIC_KERNELS) the ATen
// formulas.
std::pair<at::Tensor, at::Tensor> field_op_residues(FieldOp op, const at::Tensor& an, const at::Tensor& ad,
                                                    const at::Tensor& bn, const at::Tensor& bd, int64_t n) {
  const at::Device device = an.device();
  const kernels::Launcher launcher = kernels::launcher_for(device);
  const bool launchable = n > 0 && launcher != kernels::Launcher::Generic && fits_launcher(an, device, n) &&
                          fits_launcher(ad, device, n) && fits_launcher(bn, device, n) &&
                          fits_launcher(bd, device, n) && an.dim() == ad.dim() && bn.dim() == bd.dim();
  if (launchable) {
    at::Tensor on = record::empty_residues({kPrimes, n}, device), od = record::empty_residues({kPrimes, n}, device);
#ifdef KORVEX_WITH_CUDA
    if (launcher == kernels::Launcher::Cuda) {
      kernels::field_op_cuda(op, an, ad, bn, bd, on, od);
      return {on, od};
    }
#endif
    kernels::field_op_cpu(op, an, ad, bn, bd, on, od);
    return {on, od};
  }
  return field_op_aten(op, an, ad, bn, bd, n);
}

at::Tensor negate_residues(const at::Tensor& r) {
  const at::Tensor p = kernels::primes_on(r.device()).view({kPrimes, 1});
  return (-r.reshape({kPrimes, -1})).remainder(p).view(r.sizes());
}

}  // namespace korvex::arithmetic
