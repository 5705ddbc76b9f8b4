// Launchers of the exact jobs (exact_elements.h), one per device kind. Residue operands are
// contiguous int64 [k, n] tensors on the launcher's device, k at least the rows the job reads
// (N_PRIMES, or the kn, kd it is given); the caller checks that.
#pragma once

#include <ATen/ATen.h>

#include <cstdint>
#include <vector>

#include "kernels/device.h"
#include "kernels/exact_elements.h"

namespace korvex::kernels {

// The leading residue rows of a record that hold its values: contiguous int64 [>= kn, n] and
// [>= kd, n] on one device.
struct Rows {
  at::Tensor num, den;
  int kn = kPrimes, kd = kPrimes;
  int64_t size() const { return num.size(1); }
};

struct Measured {
  int num_bits = 0, den_bits = 0;
  bool canonical = true;
};

// What from_tensor learns while taking values in: the first element that cannot be taken
// (-1 if none) and the bound of what was written.
struct IngestStats {
  int64_t first_fault = -1;
  int num_bits = 0, den_bits = 1;
};

// 2^k mod p for every prime and k <= 1074, as int32 [N_PRIMES, 1075] on `device`.
const at::Tensor& pow2_table_on(const at::Device& device);
// The largest double not above (M - 1)/2.
double largest_fitting_double();

Measured measure_cpu(const at::Tensor& num, const at::Tensor& den);
// out: float32 [n]; kn, kd: the leading residues that hold every numerator and denominator.
void to_float_cpu(const at::Tensor& num, const at::Tensor& den, int kn, int kd, at::Tensor& out);
// x: contiguous float64, int64 or uint64 of n elements on the CPU; num, den: [N_PRIMES, n].
IngestStats ingest_cpu(const at::Tensor& x, at::Tensor& num, at::Tensor& den);

// The sum of every element of [N_PRIMES, n] residues (first kn, kd rows hold the values)
// into `acc` at scale 2^scale; false when some denominator is not a power of two up to it.
bool dyadic_sum_cpu(const at::Tensor& num, const at::Tensor& den, int kn, int kd, int scale, DyadicAcc& acc);

// The order keys of every element: keys float64 [n], exact uint8 [n], images float32 [n] or
// undefined (not wanted).
void keys_cpu(const at::Tensor& num, const at::Tensor& den, int kn, int kd, at::Tensor& keys, at::Tensor& exact,
              at::Tensor& images);

// out[t] = the exact order (-1, 0, 1, kUnorderedPair) of element ia[t] of a against element
// ib[t] of b; ia, ib int64 [t] and out int8 [t] on the rows' device.
void order_pairs_cpu(const Rows& a, const at::Tensor& ia, const Rows& b, const at::Tensor& ib, at::Tensor& out);
// The order of keyed elements a[ia[t]] against b[ib[t]] into int8 out[t] (-1, 0, 1 or
// kUnorderedPair; ia, ib int64, or undefined for t itself), and the t whose keys tie without
// both being the values themselves, in order: those are the exact order's to settle.
std::vector<int64_t> order_keys_cpu(const at::Tensor& ka, const at::Tensor& ea, const at::Tensor& ia,
                                    const at::Tensor& kb, const at::Tensor& eb, const at::Tensor& ib, at::Tensor& out);

#ifdef KORVEX_WITH_CUDA
void order_pairs_cuda(const Rows& a, const at::Tensor& ia, const Rows& b, const at::Tensor& ib, at::Tensor& out);
void keys_cuda(const at::Tensor& num, const at::Tensor& den, int kn, int kd, at::Tensor& keys, at::Tensor& exact,
               at::Tensor& images);
bool dyadic_sum_cuda(const at::Tensor& num, const at::Tensor& den, int kn, int kd, int scale, DyadicAcc& acc);
Measured measure_cuda(const at::Tensor& num, const at::Tensor& den);
void to_float_cuda(const at::Tensor& num, const at::Tensor& den, int kn, int kd, at::Tensor& out);
// x: contiguous float64, int64 or uint64 of n elements on a CUDA device; num, den: [N_PRIMES, n].
IngestStats ingest_cuda(const at::Tensor& x, at::Tensor& num, at::Tensor& den);
#endif

}  // namespace korvex::kernels
