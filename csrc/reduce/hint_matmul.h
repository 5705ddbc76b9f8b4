// The float hints' matrix product, as torch.matmul makes it.
#pragma once

#include <ATen/ATen.h>

namespace korvex::reduce {

// torch.matmul(a, b) for tensors a and b. Small float32 matrices on the CPU call the BLAS
// routine that ATen's own CPU product calls, with ATen's arguments, so the result is the same
// to the last bit; anything else goes through at::matmul.
at::Tensor hint_matmul(const at::Tensor& a, const at::Tensor& b);

}  // namespace korvex::reduce
