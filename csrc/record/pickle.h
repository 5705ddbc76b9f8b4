// copy, deepcopy, pickle and torch.save / torch.load of records.
#pragma once

#include <pybind11/pybind11.h>

namespace korvex::record {

// __reduce_ex__, __getstate__ and __setstate__, and the class allowlisted for torch.load.
void register_pickle(pybind11::handle cls);

}  // namespace korvex::record
