// Residue-level reductions along the last axis of [N_PRIMES, outer, m] residue tensors, for
// when the size bound proves the unreduced result fits. Unreduced fraction sums and products
// do not depend on the order of the terms (the sum's numerator is sum_i n_i prod_{j != i} d_j),
// so the CPU folds left to right while other devices halve pairwise; the residues agree.
#pragma once

#include <ATen/ATen.h>

#include <utility>

namespace korvex::reduce {

enum class Fold { Sum, Product };

// -> [N_PRIMES, outer] numerator and denominator residues.
std::pair<at::Tensor, at::Tensor> fold_residues(Fold kind, const at::Tensor& num, const at::Tensor& den);

}  // namespace korvex::reduce
