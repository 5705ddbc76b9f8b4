// Exact matrix product. Denominators are cleared per row of A and per column of B (by their
// lcm), the integer product is taken modulo as many primes as its size needs with float64
// GEMM (exact: every partial sum stays below 2^53) and reconstructed; each entry is then the
// documented unreduced fraction where that fits, lowest terms otherwise. Memory is
// O(mk + kn + mn) per prime; nothing of size m*n*k is formed.
#pragma once

#include <pybind11/pybind11.h>

namespace korvex::reduce {

void register_matmul(pybind11::handle cls);

}  // namespace korvex::reduce
