// Tensors of floats (and of integers) in and out of records, vectorised over elements.
//
// Every input element is a signed dyadic fraction m * 2^a / 2^b: a double keeps its own
// significand and exponent (1.0 is 2^52 / 2^52), an integer k is k * 2^a / 2^a with a chosen
// so that |k| * 2^a has 53 bits when |k| is smaller, which is what the double of k would give.
#pragma once

#include <ATen/ATen.h>
#include <pybind11/pybind11.h>

#include "record/record.h"

namespace korvex::record {

// The correctly rounded float32 of every element, on the record's device, shaped like the
// record (a scalar record gives shape (1,)).
at::Tensor float_image(Record& r);

// from_tensor, to_float and _ieee754_decompose.
void register_floats(py::module_& m, py::handle cls);

}  // namespace korvex::record
