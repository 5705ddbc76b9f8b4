// Truncated series with exact coefficients, the Newton square root, norms and statistics.
// Every step is an exact operation on records; the one-element case (the common one) costs
// microseconds per normalisation because nothing leaves C++.
#pragma once

#include <pybind11/pybind11.h>

namespace korvex::approx {

void register_approx(pybind11::module_& m, pybind11::handle cls);

}  // namespace korvex::approx
