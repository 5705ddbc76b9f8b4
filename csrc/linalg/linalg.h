// Determinant, inverse, linear solve and trace of one small square matrix. Values are taken
// to the host once and computed exactly there (fraction-free elimination on the integers
// left after clearing each row's denominators), so no step is ever rounded or aliased.
#pragma once

#include <pybind11/pybind11.h>

namespace korvex::linalg {

void register_linalg(pybind11::handle cls);

}  // namespace korvex::linalg
