// Element axes as PyTorch numbers tensor axes. Residue tensors carry the prime axis in front,
// so an element axis must be made non-negative before it is shifted past it: a raw -1 handed
// to a residue tensor would name the last element axis by luck and -ndim-1 the prime axis.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

namespace korvex::record {

namespace py = pybind11;

// `axis` among the `ndim` element axes, negative counting from the end, as a value in
// [0, ndim). Anything else raises IndexError in PyTorch's words. A 0-d record has the single
// position PyTorch grants scalars ([-1, 0], both giving 0), which has no residue axis behind
// it: callers of 0-d records handle that case themselves.
int64_t element_axis(int64_t axis, int64_t ndim);
// The same for a Python int of any size (as coerce_int returns it).
int64_t element_axis(py::handle axis, int64_t ndim);

// A position to insert a new axis at: one of ndim + 1, as unsqueeze counts them.
int64_t insert_axis(py::handle axis, int64_t ndim);

}  // namespace korvex::record
