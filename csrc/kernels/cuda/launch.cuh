// What every CUDA launcher shares: the grid of its grid-stride kernels, the exact core's
// constants on the device, and the warp fold of a maximum.
#pragma once

#include <ATen/ATen.h>

#include <algorithm>
#include <cstdint>

#include "exact/moduli.h"

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

}  // namespace korvex::kernels
