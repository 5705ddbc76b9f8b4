// Integer powers by square and multiply.
#pragma once

#include <pybind11/pybind11.h>

namespace korvex::arithmetic {

void register_power(pybind11::handle cls);

}  // namespace korvex::arithmetic
