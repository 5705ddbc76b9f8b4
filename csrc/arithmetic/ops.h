// Element-wise arithmetic on records, exact by construction: the size bound of the operands
// decides whether the residue kernels alone give the exact result, otherwise each element is
// evaluated exactly on the host (documented residues where they fit, lowest terms where only
// those fit, OverflowError where nothing fits).
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "arithmetic/kernels.h"
#include "record/record.h"

namespace korvex::arithmetic {

namespace py = pybind11;

py::object binary(FieldOp op, record::Record& a, record::Record& b);

// Residues of `r` stretched to `shape` as [N_PRIMES, n] (contiguous, on r's device).
std::pair<at::Tensor, at::Tensor> expanded_residues(const record::Record& r, const std::vector<int64_t>& shape);

// Kernel operands of `r` for a result of `shape`: [N_PRIMES, n] rows, or [N_PRIMES] when
// r has a single element (the kernels stretch it).
std::pair<at::Tensor, at::Tensor> kernel_operand(const record::Record& r, const std::vector<int64_t>& shape);

// A binary operand: a record, or an int/float taken as int(x) over 1 on `device`.
py::object operand(py::handle other, const at::Device& device, const std::vector<int64_t>& shape);

std::vector<int64_t> broadcast_shape(const record::Record& a, const record::Record& b);

void register_arithmetic(py::handle cls);

}  // namespace korvex::arithmetic
