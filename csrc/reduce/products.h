// Whole products and running totals along one axis.
#pragma once

#include <pybind11/pybind11.h>

namespace korvex::reduce {

void register_products(pybind11::handle cls);

}  // namespace korvex::reduce
