// Small pieces shared by the members of compare/: float-image shapes, masks lifted over the
// prime axis, and the hint's PyTorch operation.
#pragma once

#include <torch/csrc/utils/pybind.h>

#include <vector>

#include "record/record.h"

namespace korvex::compare {

namespace py = pybind11;

// The shape to_float gives: the element shape, but (1,) for a scalar record.
inline std::vector<int64_t> image_shape(const record::Record& r) {
  // One vector made, never reassigned: GCC 12 takes a reassignment inlined into its callers
  // for a free of a non-heap pointer (-Wfree-nonheap-object, a false positive).
  const c10::IntArrayRef sizes = r.num.sizes();
  if (sizes.size() <= 1) return std::vector<int64_t>{1};
  return std::vector<int64_t>(sizes.begin() + 1, sizes.end());
}

// A row-major host mask of the record's elements as [1, *shape] on its device, ready to
// broadcast against residue tensors.
inline at::Tensor lifted(const at::Tensor& host_mask, const record::Record& r) {
  return host_mask.view(r.shape()).to(r.num.device()).unsqueeze(0);
}

// torch.<name>(*args, **kwargs) on the hint: the hint may be any object the constructor took.
template <class... Args>
py::object torch_on_hint(const char* name, Args&&... args) {
  static py::handle torch = py::object(py::module_::import("torch")).release();
  return torch.attr(name)(std::forward<Args>(args)...);
}

}  // namespace korvex::compare
