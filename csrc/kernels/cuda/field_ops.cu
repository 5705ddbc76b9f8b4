// The stream from c10 rather than ATen/cuda/CUDAContext.h, which also pulls in the cuBLAS and
// cuSPARSE headers: the kernel needs neither, and a minimal CUDA toolkit has neither.
#include <c10/cuda/CUDAException.h>
#include <c10/cuda/CUDAGuard.h>
#include <c10/cuda/CUDAStream.h>

#include <algorithm>

#include "kernels/field_ops.h"

namespace korvex::kernels {

using exact::kPrimes;
using exact::ModP;
using u64 = std::uint64_t;

namespace {

// The moduli travel as a kernel argument: 320 bytes, no device copy to manage.
struct Moduli {
  ModP m[kPrimes];
};

constexpr int kThreads = 256;
// Enough blocks per prime to fill any current GPU; the grid-stride loop covers the rest.
constexpr int64_t kMaxBlocksPerPrime = 4096;

// blockIdx.y is the prime; threads stride over that prime's row. as/bs: the operand is one
// value per prime, stretched over the row.
template <FieldOp OP>
__global__ void field_op_kernel(Moduli mods, const int64_t* __restrict__ an, const int64_t* __restrict__ ad,
                                const int64_t* __restrict__ bn, const int64_t* __restrict__ bd,
                                int64_t* __restrict__ on, int64_t* __restrict__ od, int64_t n, bool as,
                                bool bs) {
  const int64_t j = blockIdx.y;
  const ModP m = mods.m[j];
  const int64_t ao = as ? j : j * n, bo = bs ? j : j * n;
  for (int64_t k = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; k < n; k += (int64_t)blockDim.x * gridDim.x) {
    const int64_t ka = ao + (as ? 0 : k), kb = bo + (bs ? 0 : k);
    const FieldResidues r = field_element<OP>(m, (u64)an[ka], (u64)ad[ka], (u64)bn[kb], (u64)bd[kb]);
    on[j * n + k] = (int64_t)r.num;
    od[j * n + k] = (int64_t)r.den;
  }
}

template <FieldOp OP>
void launch(const at::Tensor& an, const at::Tensor& ad, const at::Tensor& bn, const at::Tensor& bd, at::Tensor& on,
            at::Tensor& od) {
  const int64_t n = on.size(1);
  Moduli mods;
  for (int j = 0; j < kPrimes; ++j) mods.m[j] = exact::constants().mod[j];
  const dim3 grid((unsigned)std::min((n + kThreads - 1) / kThreads, kMaxBlocksPerPrime), kPrimes);
  field_op_kernel<OP><<<grid, kThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(
      mods, an.data_ptr<int64_t>(), ad.data_ptr<int64_t>(), bn.data_ptr<int64_t>(), bd.data_ptr<int64_t>(),
      on.data_ptr<int64_t>(), od.data_ptr<int64_t>(), n, an.dim() == 1, bn.dim() == 1);
  C10_CUDA_KERNEL_LAUNCH_CHECK();
}

}  // namespace

void field_op_cuda(FieldOp op, const at::Tensor& an, const at::Tensor& ad, const at::Tensor& bn,
                   const at::Tensor& bd, at::Tensor& on, at::Tensor& od) {
  const c10::cuda::CUDAGuard guard(on.device());
  switch (op) {
    case FieldOp::Add: return launch<FieldOp::Add>(an, ad, bn, bd, on, od);
    case FieldOp::Sub: return launch<FieldOp::Sub>(an, ad, bn, bd, on, od);
    case FieldOp::Mul: return launch<FieldOp::Mul>(an, ad, bn, bd, on, od);
    case FieldOp::Div: return launch<FieldOp::Div>(an, ad, bn, bd, on, od);
  }
}

}  // namespace korvex::kernels
