// CUDA launchers of the dyadic matrix-product jobs: grid-stride kernels on the current stream
// running the element functions of matmul_elements.h, as the CPU launchers do. Only three
// maxima per operand and three for the entries come back to the host.
#include <c10/cuda/CUDAException.h>
#include <c10/cuda/CUDAGuard.h>
#include <c10/cuda/CUDAStream.h>

#include <algorithm>

#include "kernels/cuda/launch.cuh"
#include "kernels/exact_jobs.h"
#include "kernels/matmul_jobs.h"

namespace korvex::kernels {

namespace {

// One thread per row: a column of B is then read with neighbouring threads on neighbouring
// columns. stats: [not dyadic, max L, cleared bits, the GEMM's bits]
__global__ void side_terms_kernel(const Constants* c, StridedResidues num, StridedResidues den, int64_t rows,
                                  int64_t len, int kn, int kd, int32_t* __restrict__ codes, int32_t* __restrict__ L,
                                  int64_t* __restrict__ S, uint8_t* __restrict__ neg, int32_t* __restrict__ T,
                                  int* stats) {
  int bad = 0, max_L = 0, bits = 0, gemm_bits = 0;
  for (int64_t r = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; r < rows; r += (int64_t)blockDim.x * gridDim.x) {
    const RowTerms t = row_terms(*c, num, den, r, len, kn, kd, codes + r * len);
    if (!t.dyadic) {
      bad = 1;
      break;
    }
    L[r] = t.L;
    S[r] = t.S;
    neg[r] = t.neg;
    T[r] = t.T;
    max_L = max(max_L, (int)t.L);
    bits = max(bits, t.bits);
    gemm_bits = max(gemm_bits, t.bits - (int)t.T);
  }
  fold_max(&stats[0], bad);
  fold_max(&stats[1], max_L);
  fold_max(&stats[2], bits);
  fold_max(&stats[3], gemm_bits);
}

__global__ void cleared_operand_kernel(const Constants* c, const int32_t* __restrict__ spow2, StridedResidues num,
                                       int64_t len, int64_t count, int kz, bool split,
                                       const int32_t* __restrict__ codes, const int32_t* __restrict__ L,
                                       const int32_t* __restrict__ T, double* __restrict__ out) {
  const int64_t plane = (split ? 2 : 1) * count;
  for (int64_t idx = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; idx < count;
       idx += (int64_t)blockDim.x * gridDim.x) {
    const int64_t r = idx / len, t = idx % len;
    const int64_t* src = num.at(r, t);
    for (int j = 0; j < kz; ++j) {
      const int64_t x = balanced(c->mod[j], cleared_residue(c->mod[j], spow2 + j * kSignedPow2Row, src[j * num.sp],
                                                            codes[idx], L[r] - T[r]));
      double* dst = out + j * plane + idx;
      if (split) split_halves(x, dst[0], dst[count]);
      else dst[0] = (double)x;
    }
  }
}

__global__ void fold_block_kernel(const Constants* c, const double* __restrict__ z, int kz, int64_t count, bool first,
                                  int64_t* __restrict__ acc) {
  for (int64_t idx = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; idx < kz * count;
       idx += (int64_t)blockDim.x * gridDim.x) {
    const int64_t j = idx / count, i = idx % count;
    const double* zj = z + j * 2 * count;
    acc[idx] = fold_gemm_block(c->mod[j], zj[i], zj[count + i], first ? 0 : acc[idx]);
  }
}

// stats: [num_bits, den_bits, some entry past the range]
__global__ void finish_entries_kernel(const Constants* c, const int32_t* __restrict__ spow2,
                                      const int64_t* __restrict__ z, int kz, bool direct, int64_t n, int64_t count,
                                      const int32_t* __restrict__ la, const int64_t* __restrict__ sa,
                                      const uint8_t* __restrict__ na, const int32_t* __restrict__ ta,
                                      const int32_t* __restrict__ lb, const int64_t* __restrict__ sb,
                                      const uint8_t* __restrict__ nb, const int32_t* __restrict__ tb,
                                      int64_t* __restrict__ on, int64_t* __restrict__ od, int* stats) {
  int nbits = 0, dbits = 0, past = 0;
  for (int64_t idx = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; idx < count;
       idx += (int64_t)blockDim.x * gridDim.x) {
    const int64_t i = idx / n, j = idx % n;
    const EntryBits eb = finish_entry(*c, spow2, z + idx, count, kz, direct, RowTerms{la[i], sa[i], na[i] != 0, ta[i]},
                                      RowTerms{lb[j], sb[j], nb[j] != 0, tb[j]}, on + idx, od + idx, count);
    nbits = max(nbits, eb.num_bits);
    dbits = max(dbits, eb.den_bits);
    if (!eb.fits) past = 1;
  }
  fold_max(&stats[0], nbits);
  fold_max(&stats[1], dbits);
  fold_max(&stats[2], past);
}

}  // namespace

SideTerms side_terms_cuda(const StridedResidues& num, const StridedResidues& den, int64_t rows, int64_t len, int kn,
                          int kd, const at::Device& device) {
  const c10::cuda::CUDAGuard guard(device);
  SideTerms s(rows, len, device);
  const auto opts = at::TensorOptions().device(device);
  at::Tensor stats = at::zeros({4}, opts.dtype(at::kInt));
  if (rows > 0) {
    side_terms_kernel<<<blocks_for(rows), kThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(
        constants_on(device), num, den, rows, len, kn, kd, s.codes, s.L, s.S, s.neg, s.T, stats.data_ptr<int>());
    C10_CUDA_KERNEL_LAUNCH_CHECK();
  }
  const at::Tensor h = stats.cpu();
  const int* p = h.data_ptr<int>();
  s.dyadic = p[0] == 0;
  s.max_L = p[1];
  s.bits = p[2];
  s.gemm_bits = p[3];
  return s;
}

void cleared_operand_cuda(const StridedResidues& num, int64_t rows, int64_t len, int kz, const SideTerms& t,
                          bool split, at::Tensor& out) {
  const c10::cuda::CUDAGuard guard(out.device());
  const int64_t count = rows * len;
  if (count == 0) return;
  cleared_operand_kernel<<<blocks_for(count), kThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(
      constants_on(out.device()), signed_pow2_table_on(out.device()).data_ptr<int32_t>(), num, len, count, kz, split,
      t.codes, t.L, t.T, out.data_ptr<double>());
  C10_CUDA_KERNEL_LAUNCH_CHECK();
}

void fold_block_cuda(const at::Tensor& z, int kz, int64_t m, int64_t n, bool first, at::Tensor& acc) {
  const c10::cuda::CUDAGuard guard(z.device());
  const int64_t count = m * n;
  if (count == 0) return;
  fold_block_kernel<<<blocks_for(kz * count), kThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(
      constants_on(z.device()), z.data_ptr<double>(), kz, count, first, acc.data_ptr<int64_t>());
  C10_CUDA_KERNEL_LAUNCH_CHECK();
}

FinishStats finish_entries_cuda(const at::Tensor& acc, int kz, bool direct, int64_t m, int64_t n,
                                const SideTerms& a, const SideTerms& b, at::Tensor& on, at::Tensor& od) {
  const c10::cuda::CUDAGuard guard(acc.device());
  const int64_t count = m * n;
  // Z' as the integers it holds (below 2^53) for the element code, which reads int64.
  const at::Tensor z = direct ? acc.to(at::kLong) : acc;
  at::Tensor stats = at::zeros({3}, acc.options().dtype(at::kInt));
  if (count > 0) {
    finish_entries_kernel<<<blocks_for(count), kThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(
        constants_on(acc.device()), signed_pow2_table_on(acc.device()).data_ptr<int32_t>(), z.data_ptr<int64_t>(),
        kz, direct, n, count, a.L, a.S, a.neg, a.T, b.L, b.S, b.neg, b.T, on.data_ptr<int64_t>(),
        od.data_ptr<int64_t>(), stats.data_ptr<int>());
    C10_CUDA_KERNEL_LAUNCH_CHECK();
  }
  const at::Tensor s = stats.cpu();
  const int* p = s.data_ptr<int>();
  return {p[0], p[1], p[2] == 0};
}

}  // namespace korvex::kernels
