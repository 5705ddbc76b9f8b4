// CUDA launchers of the dyadic matrix-product jobs: grid-stride kernels on the current stream
// running the element functions of matmul_elements.h, as the CPU launchers do. Only the three
// maxima of the finishing job come back to the host.
#include <c10/cuda/CUDAException.h>
#include <c10/cuda/CUDAGuard.h>
#include <c10/cuda/CUDAStream.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "kernels/exact_jobs.h"
#include "kernels/matmul_jobs.h"

namespace korvex::kernels {

namespace {

constexpr int kThreads = 256;
constexpr int64_t kMaxBlocks = 8192;  // the grid-stride loops cover the rest

unsigned blocks_for(int64_t n) { return (unsigned)std::max<int64_t>(1, std::min((n + kThreads - 1) / kThreads, kMaxBlocks)); }

// This file's own device copy of the host's constants (exact_jobs.cu keeps its copy private).
const Constants* matmul_constants_on(const at::Device& device) {
  static std::mutex lock;
  static auto* cache = new std::map<int, at::Tensor>();  // leaked: outlives interpreter shutdown
  const std::lock_guard<std::mutex> hold(lock);
  auto it = cache->find(device.index());
  if (it == cache->end()) {
    at::Tensor host = at::empty({(int64_t)sizeof(Constants)}, at::kByte);
    std::memcpy(host.data_ptr(), &exact::constants(), sizeof(Constants));
    it = cache->emplace(device.index(), host.to(device)).first;
  }
  return reinterpret_cast<const Constants*>(it->second.data_ptr());
}

__device__ inline void fold_max(int* target, int v) {
  v = __reduce_max_sync(0xffffffffu, v);
  if ((threadIdx.x & 31) == 0) atomicMax(target, v);
}

__global__ void dyadic_codes_kernel(const Constants* c, StridedResidues num, StridedResidues den, int64_t len,
                                    int64_t count, int kn, int kd, int32_t* __restrict__ codes,
                                    int32_t* __restrict__ bits) {
  for (int64_t idx = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; idx < count;
       idx += (int64_t)blockDim.x * gridDim.x) {
    const int64_t r = idx / len, t = idx % len;
    const DyadicCode d = dyadic_code(*c, num.at(r, t), num.sp, den.at(r, t), den.sp, kn, kd);
    codes[idx] = d.code;
    bits[idx] = d.bits;
  }
}

__global__ void cleared_residues_kernel(const Constants* c, const int32_t* __restrict__ pow2, StridedResidues num,
                                        int64_t len, int64_t count, int kz, const int32_t* __restrict__ codes,
                                        const int32_t* __restrict__ L, int64_t* __restrict__ out) {
  for (int64_t idx = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; idx < count;
       idx += (int64_t)blockDim.x * gridDim.x) {
    const int64_t r = idx / len, t = idx % len;
    const int64_t* src = num.at(r, t);
    for (int j = 0; j < kz; ++j)
      out[j * count + idx] = cleared_residue(c->mod[j], pow2 + j * kPow2Row, src[j * num.sp], codes[idx], L[r]);
  }
}

// stats: [num_bits, den_bits, some entry past the range]
__global__ void finish_entries_kernel(const Constants* c, const int32_t* __restrict__ pow2,
                                      const int64_t* __restrict__ z, int kz, int64_t n, int64_t count,
                                      const int32_t* __restrict__ la, const int64_t* __restrict__ sa,
                                      const uint8_t* __restrict__ na, const int32_t* __restrict__ lb,
                                      const int64_t* __restrict__ sb, const uint8_t* __restrict__ nb,
                                      int64_t* __restrict__ on, int64_t* __restrict__ od, int* stats) {
  int nbits = 0, dbits = 0, past = 0;
  for (int64_t idx = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; idx < count;
       idx += (int64_t)blockDim.x * gridDim.x) {
    const int64_t i = idx / n, j = idx % n;
    const EntryBits eb = finish_entry(*c, pow2, z + idx, count, kz, RowTerms{la[i], sa[i], na[i] != 0},
                                      RowTerms{lb[j], sb[j], nb[j] != 0}, on + idx, od + idx, count);
    nbits = max(nbits, eb.num_bits);
    dbits = max(dbits, eb.den_bits);
    if (!eb.fits) past = 1;
  }
  fold_max(&stats[0], nbits);
  fold_max(&stats[1], dbits);
  fold_max(&stats[2], past);
}

}  // namespace

void dyadic_codes_cuda(const StridedResidues& num, const StridedResidues& den, int64_t rows, int64_t len, int kn,
                       int kd, at::Tensor& codes, at::Tensor& bits) {
  const c10::cuda::CUDAGuard guard(codes.device());
  const int64_t count = rows * len;
  if (count == 0) return;
  dyadic_codes_kernel<<<blocks_for(count), kThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(
      matmul_constants_on(codes.device()), num, den, len, count, kn, kd, codes.data_ptr<int32_t>(),
      bits.data_ptr<int32_t>());
  C10_CUDA_KERNEL_LAUNCH_CHECK();
}

void cleared_residues_cuda(const StridedResidues& num, int64_t rows, int64_t len, int kz, const at::Tensor& codes,
                           const at::Tensor& L, at::Tensor& out) {
  const c10::cuda::CUDAGuard guard(out.device());
  const int64_t count = rows * len;
  if (count == 0) return;
  cleared_residues_kernel<<<blocks_for(count), kThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(
      matmul_constants_on(out.device()), pow2_table_on(out.device()).data_ptr<int32_t>(), num, len, count, kz,
      codes.data_ptr<int32_t>(), L.data_ptr<int32_t>(), out.data_ptr<int64_t>());
  C10_CUDA_KERNEL_LAUNCH_CHECK();
}

FinishStats finish_entries_cuda(const at::Tensor& z, int kz, int64_t m, int64_t n, const at::Tensor& la,
                                const at::Tensor& sa, const at::Tensor& na, const at::Tensor& lb,
                                const at::Tensor& sb, const at::Tensor& nb, at::Tensor& on, at::Tensor& od) {
  const c10::cuda::CUDAGuard guard(z.device());
  const int64_t count = m * n;
  at::Tensor stats = at::zeros({3}, z.options().dtype(at::kInt));
  if (count > 0) {
    finish_entries_kernel<<<blocks_for(count), kThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(
        matmul_constants_on(z.device()), pow2_table_on(z.device()).data_ptr<int32_t>(), z.data_ptr<int64_t>(), kz,
        n, count, la.data_ptr<int32_t>(), sa.data_ptr<int64_t>(), na.data_ptr<uint8_t>(), lb.data_ptr<int32_t>(),
        sb.data_ptr<int64_t>(), nb.data_ptr<uint8_t>(), on.data_ptr<int64_t>(), od.data_ptr<int64_t>(),
        stats.data_ptr<int>());
    C10_CUDA_KERNEL_LAUNCH_CHECK();
  }
  const at::Tensor s = stats.cpu();
  const int* p = s.data_ptr<int>();
  return {p[0], p[1], p[2] == 0};
}

}  // namespace korvex::kernels
