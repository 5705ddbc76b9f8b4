// Launchers of the dyadic matrix-product jobs (matmul_elements.h), one per device kind. An
// operand is read as `rows` x `len` elements through its own strides (StridedResidues), on the
// launcher's device; per-element and per-row tensors are contiguous there.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>

#include "kernels/matmul_elements.h"

namespace korvex::kernels {

struct FinishStats {
  int num_bits = 0, den_bits = 0;
  bool fits = true;
};

// codes, bits: int32 [rows * len] (DyadicCode of each element).
void dyadic_codes_cpu(const StridedResidues& num, const StridedResidues& den, int64_t rows, int64_t len, int kn,
                      int kd, at::Tensor& codes, at::Tensor& bits);
// out: int64 [kz, rows, len]; L: int32 [rows], every entry at most kMaxRowShift.
void cleared_residues_cpu(const StridedResidues& num, int64_t rows, int64_t len, int kz, const at::Tensor& codes,
                          const at::Tensor& L, at::Tensor& out);
// z: int64 [kz, m * n]; the terms of A's rows and B's columns as L int32, S int64, neg uint8;
// on, od: int64 [N_PRIMES, m * n].
FinishStats finish_entries_cpu(const at::Tensor& z, int kz, int64_t m, int64_t n, const at::Tensor& la,
                               const at::Tensor& sa, const at::Tensor& na, const at::Tensor& lb, const at::Tensor& sb,
                               const at::Tensor& nb, at::Tensor& on, at::Tensor& od);

#ifdef KORVEX_WITH_CUDA
void dyadic_codes_cuda(const StridedResidues& num, const StridedResidues& den, int64_t rows, int64_t len, int kn,
                       int kd, at::Tensor& codes, at::Tensor& bits);
void cleared_residues_cuda(const StridedResidues& num, int64_t rows, int64_t len, int kz, const at::Tensor& codes,
                           const at::Tensor& L, at::Tensor& out);
FinishStats finish_entries_cuda(const at::Tensor& z, int kz, int64_t m, int64_t n, const at::Tensor& la,
                                const at::Tensor& sa, const at::Tensor& na, const at::Tensor& lb,
                                const at::Tensor& sb, const at::Tensor& nb, at::Tensor& on, at::Tensor& od);
#endif

}  // namespace korvex::kernels
