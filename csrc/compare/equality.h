// Exact element-wise equality on residues (cross products agree in every prime).
#pragma once

#include <pybind11/pybind11.h>

namespace korvex::compare {

void register_equality(pybind11::handle cls);

}  // namespace korvex::compare
