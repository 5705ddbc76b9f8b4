// Residue kernels for the field operations on fractions, one prime per row.
#pragma once

#include <ATen/ATen.h>

#include <utility>

#include "kernels/field_element.h"

namespace korvex::arithmetic {

using kernels::FieldOp;

// Operands are [N_PRIMES, n] residue tensors, or [N_PRIMES] (one value per prime, stretched
// over all n elements). Returns (numerator, denominator) residues of shape [N_PRIMES, n],
// equal to what PyTorch's `%` gives for the textbook formulas:
//   add: (a*d + b*c, b*d)   sub: (a*d - b*c, b*d)   mul: (a*c, b*d)   div: (a*d, b*c)
std::pair<at::Tensor, at::Tensor> field_op_residues(FieldOp op, const at::Tensor& an, const at::Tensor& ad,
                                                    const at::Tensor& bn, const at::Tensor& bd, int64_t n);

// (-r) mod p for every residue.
at::Tensor negate_residues(const at::Tensor& r);

}  // namespace korvex::arithmetic
