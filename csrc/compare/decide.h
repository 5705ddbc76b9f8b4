// Exact signs and exact order of the elements of a record, decided all at once on the host.
//
// Every element is reconstructed once from only the residue rows its size bound needs, and
// rounded correctly to a double: rounding is monotone, so two elements whose doubles differ
// are ordered by them, and only elements whose doubles tie need their exact values, compared
// by cross-multiplication. A record's integers stay below 2^619, so no element's double is
// ever zero, infinite or subnormal unless the element is zero or has a zero denominator:
// those order as 0, +inf (n > 0), -inf (n < 0) and nan (0/0), as to_float shows them.
#pragma once

#include <ATen/ATen.h>

#include <cmath>
#include <cstdint>

#include "exact/bigint.h"
#include "kernels/exact_jobs.h"
#include "record/record.h"

namespace korvex::compare {

using exact::SBig;

// An exact fraction with a non-negative denominator.
struct Exact {
  SBig num, den;
};

// -1, 0 or 1 for a < b, a == b, a > b; both denominators must be positive.
int order_exact(const Exact& a, const Exact& b);

// The correctly rounded double and float32 of n/d, and whether the double is the value
// itself (zero and the infinities count as exact: all of a kind order as equals).
struct Image {
  double key;
  float f;
  bool exact;
};
Image image_of(const SBig& n, const SBig& d);

// Returned by the comparisons when either side is nan (0/0): unordered, like a float nan.
constexpr int kUnordered = kernels::kUnorderedPair;

// A fixed exact value to compare elements against (a clamp bound).
struct Constant {
  Exact value;
  Image image;
};
Constant constant_of(const SBig& num, const SBig& den);

// The decision of one record: keys (and, when asked, float32 images) of every element in
// row-major order, with the host residues kept to settle ties exactly.
class Decided {
 public:
  // Measures an unknown bound first; errors of that step (foreign moduli, residues outside
  // [0, p)) propagate. Releases the GIL while it reconstructs.
  explicit Decided(record::Record& r, bool with_images = false);

  int64_t size() const { return n_; }
  double key(int64_t k) const { return pk_[k]; }
  bool key_exact(int64_t k) const { return pe_[k] != 0; }
  Exact value(int64_t k) const;

  // Element i of this record against element j of `other` (or against a constant).
  int order(int64_t i, const Decided& other, int64_t j) const;
  int order(int64_t i, const Constant& c) const;

  at::Tensor keys;    // float64 [n] on the host
  at::Tensor images;  // float32 [n] on the host, when asked for

 private:
  at::Tensor hn_, hd_, flags_;
  int kn_ = 1, kd_ = 1;
  int64_t n_ = 0;
  const double* pk_ = nullptr;
  const std::uint8_t* pe_ = nullptr;
};

// The order keys of every element computed on the record's own device where that has a
// kernel (CPU, CUDA): float64 keys, uint8 exact flags and, when asked, float32 images,
// row-major [n] there. False, and nothing computed, on every other device.
bool keys_on_device(record::Record& r, at::Tensor& keys, at::Tensor& exact, at::Tensor* images);

// One side of an exact comparison on a device with a kernel (CPU, CUDA): the residue rows
// that hold its values and its order keys, row-major [n] there.
struct Keyed {
  kernels::Rows rows;
  at::Tensor keys, exact;
};
// False, and nothing computed, on devices with neither kernel.
bool keyed_on_device(record::Record& r, Keyed& out);
Keyed keyed_constant(const Constant& c, const at::Device& device);

// The exact order of element ia[t] of a against element ib[t] of b, for every t: int8 -1, 0,
// 1 or kUnordered on their device. ia, ib: int64 positions there, or undefined for 0 .. n-1.
// Keys decide wherever they differ or are both exact; only ties of inexact keys are
// reconstructed, on the device, and nothing but one flag comes back to the host.
at::Tensor order_keyed(const Keyed& a, const at::Tensor& ia, const Keyed& b, const at::Tensor& ib);

// Flat positions of the elements of a record of element shape `shape` met at each position of
// the broadcast shape `out`, on `device` (PyTorch's alignment: trailing axes meet).
at::Tensor broadcast_positions(const std::vector<int64_t>& shape, const std::vector<int64_t>& out,
                               const at::Device& device);

// Exact sign of every element as float64 -1, 0, 1, row-major on the host (on a CUDA device,
// from its keys): n/0 takes the sign
// of n, 0/0 gives 0 as torch.sign gives it for nan. Needs no division.
at::Tensor exact_signs(record::Record& r);

}  // namespace korvex::compare
