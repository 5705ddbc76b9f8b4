// Shape operations and index selection on records: the same PyTorch operation on numerator
// residues, denominator residues and hint, with the prime axis left where it is.
#pragma once

#include <pybind11/pybind11.h>

namespace korvex::shape {

namespace py = pybind11;

void register_shape(py::handle cls);

}  // namespace korvex::shape
