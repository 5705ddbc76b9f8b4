// What every CUDA launcher shares: the grid of its grid-stride kernels, the exact core's
// constants on the device, the warp fold of a maximum, and the block partials of the dyadic
// superaccumulator.
#pragma once

#include <ATen/ATen.h>
#include <c10/cuda/CUDAException.h>

#include <algorithm>
#include <cstdint>

#include "exact/moduli.h"
#include "kernels/exact_elements.h"

namespace korvex::kernels {

constexpr int kThreads = 256;
constexpr int64_t kMaxBlocks = 8192;  // the grid-stride loops cover the rest

inline unsigned blocks_for(int64_t n) {
  return (unsigned)std::max<int64_t>(1, std::min((n + kThreads - 1) / kThreads, kMaxBlocks));
}

// The host's constants, copied once to each device (exact_jobs.cu keeps the cache).
const exact::Constants* constants_on(const at::Device& device);

// Raises *target to at least the largest v of the warp.
__device__ inline void fold_max(int* target, int v) {
  v = __reduce_max_sync(0xffffffffu, v);
  if ((threadIdx.x & 31) == 0) atomicMax(target, v);
}

constexpr int kAccThreads = 64;  // 64 accumulators of 352 bytes fit in shared memory
constexpr int64_t kAccBlocks = 1024;

// Each thread adds its grid-stride share of the n terms with add(k, acc) (false: refused,
// flagged, and that thread stops); the block's accumulators are then merged pairwise in
// shared memory into partials[blockIdx.x]. Launched with kAccThreads threads.
template <class Add>
__device__ inline void accumulate_block(int64_t n, Add add, DyadicAcc* partials, int* refused) {
  __shared__ DyadicAcc acc[kAccThreads];
  DyadicAcc& mine = acc[threadIdx.x];
  mine.clear();
  for (int64_t k = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; k < n; k += (int64_t)blockDim.x * gridDim.x) {
    if (!add(k, mine)) {
      atomicOr(refused, 1);
      break;
    }
  }
  __syncthreads();
  for (int half = kAccThreads / 2; half > 0; half /= 2) {
    if ((int)threadIdx.x < half) acc_merge(mine, acc[threadIdx.x + half]);
    __syncthreads();
  }
  if (threadIdx.x == 0) partials[blockIdx.x] = acc[0];
}

// The sum of n terms by launch(blocks, partials, refused), a kernel that calls
// accumulate_block; at most kAccBlocks partials of 352 bytes come back and are merged here.
// False where some term was refused.
template <class Launch>
bool accumulate(int64_t n, const at::Tensor& like, Launch launch, DyadicAcc& acc) {
  acc.clear();
  if (n == 0) return true;
  const int64_t blocks = std::max<int64_t>(1, std::min((n + kAccThreads - 1) / kAccThreads, kAccBlocks));
  at::Tensor partials = at::empty({blocks * (int64_t)sizeof(DyadicAcc)}, like.options().dtype(at::kByte));
  at::Tensor refused = at::zeros({1}, like.options().dtype(at::kInt));
  launch((unsigned)blocks, reinterpret_cast<DyadicAcc*>(partials.data_ptr()), refused.data_ptr<int>());
  C10_CUDA_KERNEL_LAUNCH_CHECK();
  if (refused.item<int>() != 0) return false;
  const at::Tensor host = partials.cpu();
  const auto* p = reinterpret_cast<const DyadicAcc*>(host.data_ptr());
  for (int64_t b = 0; b < blocks; ++b) acc_merge(acc, p[b]);
  return true;
}

}  // namespace korvex::kernels
