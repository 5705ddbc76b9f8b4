// Launchers of the field operations, one per device kind, all running field_element().
#pragma once

#include <ATen/ATen.h>

#include "kernels/field_element.h"

namespace korvex::kernels {

// Operands: contiguous int64 residues on one device, each [N_PRIMES, n] or [N_PRIMES] (one
// value per prime, stretched over all n elements); on, od: contiguous [N_PRIMES, n] outputs
// on the same device, n > 0. The caller checks all of that.
void field_op_cpu(FieldOp op, const at::Tensor& an, const at::Tensor& ad, const at::Tensor& bn,
                  const at::Tensor& bd, at::Tensor& on, at::Tensor& od);
// out[r, g, i] = src[r, g, index[g, i]] for each residue row r of num and den, contiguous
// host int64 [N_PRIMES, groups, L] (one permutation per group of a line); index: contiguous
// int64 [groups, K] with entries in [0, L), which the caller checks; outs [N_PRIMES, groups, K].
void take_last_axis_cpu(const at::Tensor& num, const at::Tensor& den, const at::Tensor& index, at::Tensor& out_num,
                        at::Tensor& out_den);

#ifdef KORVEX_WITH_CUDA
void field_op_cuda(FieldOp op, const at::Tensor& an, const at::Tensor& ad, const at::Tensor& bn,
                   const at::Tensor& bd, at::Tensor& on, at::Tensor& od);
#endif

}  // namespace korvex::kernels
