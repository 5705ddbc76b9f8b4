// The record: residues of numerators and denominators modulo the fixed primes, the moduli,
// the device, an optional float hint, and (C++ only) an upper bound on the bit sizes of the
// integers held, which is what keeps every result exact.
#pragma once

#include <ATen/ATen.h>
#include <pybind11/pybind11.h>

#include <vector>

#include "exact/bigint.h"
#include "exact/moduli.h"
#include "kernels/device.h"

namespace korvex::record {

namespace py = pybind11;

constexpr int kUnknownBits = -1;

struct Record {
  at::Tensor num;
  at::Tensor denom;
  at::Tensor primes;
  py::object device;  // the torch.device of num
  py::object approx;  // None or a float tensor of the element shape
  // Upper bounds on the bit lengths of |numerator| and |denominator| over all elements.
  // Records made from raw residues start unknown and are measured on first need.
  int num_bits = kUnknownBits;
  int den_bits = kUnknownBits;

  bool bits_known() const { return num_bits >= 0 && den_bits >= 0; }
  std::vector<int64_t> shape() const { return num.sizes().slice(1).vec(); }
  int64_t elements() const { return num.numel() / exact::kPrimes; }
};

py::handle record_type();
void set_record_type(py::handle cls);
bool is_record(py::handle obj);
Record& as_record(py::handle obj);

// A new base-class record around the given tensors (the moduli are the cached device copy).
py::object make_record(at::Tensor num, at::Tensor den, py::object approx, int num_bits, int den_bits);

using kernels::primes_on;
using kernels::primes_tensor;
using kernels::set_primes_tensor;
py::object device_object(const at::Device& device);
at::Device parse_device(const std::string& device);

// Measures the bound of a record whose bound is unknown: one host copy, all elements
// reconstructed in parallel. Also refuses residues outside [0, p) and foreign moduli, which
// no operation of the library can produce.
void ensure_bits(Record& r);

using kernels::generic_kernels_only;

// Contiguous CPU copy of residues as [N_PRIMES, n].
at::Tensor host_residues(const at::Tensor& t);

[[noreturn]] void raise_range_error(const char* what);

// A record of `shape` on `device` with every element n/d, where n and d already fit.
py::object fill_record(py::handle cls, const exact::SBig& n, const exact::SBig& d,
                       const std::vector<int64_t>& shape, const at::Device& device, double approx);

// A Python int or float operand as an arithmetic operator takes it: int(x) over 1, checked
// against the exact range, at `shape` on `device`.
py::object number_record(py::handle number, const at::Device& device, const std::vector<int64_t>& shape);

// Correctly rounded double of n/d through Python's true division (ZeroDivisionError,
// OverflowError as Python raises them).
double true_divide(const exact::SBig& n, const exact::SBig& d);

// simplify(): a one-element record rebuilt in lowest terms, anything else (and zero
// denominators) returned as it is.
py::object simplified(py::handle rec);

// Creates the class ModularTensor in `m` with its constructor, slots and the members above.
py::handle register_record(py::module_& m);

}  // namespace korvex::record
