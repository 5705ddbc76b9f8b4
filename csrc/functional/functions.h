// The modular_ functions: two that take PyTorch tensors and convert them, the rest thin
// forwards to the methods of their first argument with the interface's argument checks.
#pragma once

#include <pybind11/pybind11.h>

#include "python/table.h"

namespace korvex::functional {

// modular_sum, modular_dot; each returns the names it added, for the export list.
python::Exports register_conversions(pybind11::module_& m);
// modular_abs ... modular_square.
python::Exports register_functions(pybind11::module_& m);

}  // namespace korvex::functional
