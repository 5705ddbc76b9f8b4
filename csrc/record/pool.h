// Host buffers for large residue tensors, kept for reuse for a moment once freed.
//
// A [20, 1e6] int64 result is 160 MB; fresh memory of that size comes from mmap and costs a
// page fault per 4 KB on first touch, which on this class of machine takes longer than the
// arithmetic itself. Freed buffers are kept (up to KORVEX_HOST_POOL_MB) and handed to the
// next result of the same size, as PyTorch's CUDA caching allocator does for device memory,
// and given back to the system once they sit unused for a second.
#pragma once

#include <ATen/ATen.h>
#include <ATen/EmptyTensor.h>

#include <vector>

namespace korvex::record {

// Uninitialised int64 tensor on `device` (or of `dtype`, for work buffers of the same
// sizes); pooled when on the CPU and large.
at::Tensor empty_residues(const std::vector<int64_t>& sizes, const at::Device& device,
                          at::ScalarType dtype = at::kLong);

// Uninitialised host tensor made without a trip through the dispatcher: a one-element result
// needs three of them, and the dispatch of at::empty cost more than its arithmetic. Small ones
// come from malloc (see pool.cpp).
at::Tensor empty_host(at::IntArrayRef sizes, at::ScalarType dtype);

}  // namespace korvex::record
