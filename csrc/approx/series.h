// Truncated series with exact coefficients, the Newton square root, norms and statistics.
// Every step is an exact operation on records; the one-element case (the common one) costs
// microseconds per normalisation because nothing leaves C++.
#pragma once

#include <pybind11/pybind11.h>

#include "python/table.h"

namespace korvex::approx {

// Returns the functions it added, for the export list.
python::Exports register_approx(pybind11::module_& m, pybind11::handle cls);

}  // namespace korvex::approx
