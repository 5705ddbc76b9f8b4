// Launchers of the dot and running-sum jobs over dyadic records (scan_elements.h), one per
// device kind. Residue operands are contiguous int64 [k, n] tensors on the launcher's device,
// with at least the kn, kd leading rows the job reads; the caller checks that.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>

#include "kernels/exact_jobs.h"
#include "kernels/scan_elements.h"

namespace korvex::kernels {

// sum_k x_k * y_k into `acc` at scale 2^scale (x and y of the same n elements); false when
// some denominator is not a power of two or some product does not fit the accumulator.
bool dyadic_dot_cpu(const Rows& x, const Rows& y, int scale, DyadicAcc& acc);

// What a running sum wrote: the status of scan_elements.h and the bound of the outputs.
struct RunningStats {
  int status = kRunDone;
  int num_bits = 0, den_bits = 0;
};

// The running sum of x (denominators up to 2^scale) as the host loop of cumsum writes it, into
// out_num, out_den: contiguous int64 [N_PRIMES, n] on the same device.
RunningStats dyadic_cumsum_cpu(const Rows& x, int scale, at::Tensor& out_num, at::Tensor& out_den);

// The sums along an axis: x holds rows of m elements each (row o at o * m .. o * m + m - 1),
// and each row's sum goes to column o of out_num, out_den (contiguous int64 [N_PRIMES, rows])
// as sum(dim) writes it. kRunNotDyadic (nothing useful written) where some element is not
// dyadic, kRunOverflow where some sum leaves the range.
RunningStats dyadic_row_sums_cpu(const Rows& x, int64_t m, int scale, at::Tensor& out_num, at::Tensor& out_den);

#ifdef KORVEX_WITH_CUDA
RunningStats dyadic_row_sums_cuda(const Rows& x, int64_t m, int scale, at::Tensor& out_num, at::Tensor& out_den);
bool dyadic_dot_cuda(const Rows& x, const Rows& y, int scale, DyadicAcc& acc);
RunningStats dyadic_cumsum_cuda(const Rows& x, int scale, at::Tensor& out_num, at::Tensor& out_den);
#endif

}  // namespace korvex::kernels
