// The members of the class that register_record installs from the files beside it.
#pragma once

#include <pybind11/pybind11.h>

#include "record/record.h"

namespace korvex::record {

void register_constructors(py::handle cls);
void register_readback(py::handle cls);

}  // namespace korvex::record
