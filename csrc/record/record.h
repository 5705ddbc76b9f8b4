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
  // Upper bounds on the bit lengths of |numerator| and |denominator| over all elements.
  // Records made from raw residues start unknown and are measured on first need.
  int num_bits = kUnknownBits;
  int den_bits = kUnknownBits;
  // The residue tensors' version counters when the bound was set: any in-place write since
  // (set_, copy_, an indexed assignment, through any view) makes the bound worthless.
  std::uint32_t num_version = 0, den_version = 0;
  // The caller-made moduli tensor last found equal to PRIMES, and its version then (never
  // dereferenced: only compared with the tensor the slot holds).
  const void* primes_checked = nullptr;
  std::uint32_t primes_version = 0;

  // The bound, valid for the tensors as they are now.
  void set_bits(int nb, int db);
  bool bits_known() const;
  // Drops a bound that the tensors have outlived.
  void forget_stale_bits() {
    if ((num_bits >= 0 || den_bits >= 0) && !bits_known()) num_bits = den_bits = kUnknownBits;
  }
  // The element shape; a residue tensor without its prime axis has none of its own.
  std::vector<int64_t> shape() const {
    return num.dim() == 0 ? std::vector<int64_t>{} : num.sizes().slice(1).vec();
  }
  int64_t elements() const { return num.numel() / exact::kPrimes; }

  // The hint, the _approx slot: None or a float tensor of the element shape.
  const py::object& hint() const;
  void set_hint(py::object h) {
    approx_ = std::move(h);
    hint_pending_ = false;
  }
  // A one-element result of scalar arithmetic on the CPU keeps its float32 hint as a number
  // until something asks for the tensor: making and wrapping one was a third of such an
  // operation, and freeing a wrapped tensor releases the GIL. The tensor it stands for is a
  // plain CPU float32 of `dims` axes of size 1.
  void set_pending_hint(float v, int dims) {
    approx_ = py::object();
    hint_pending_ = true;
    hint_value_ = v;
    hint_dims_ = dims;
  }
  // The pending value, where the hint is one for `dims` axes.
  bool pending_hint(float& v, size_t dims) const {
    if (!hint_pending_ || (size_t)hint_dims_ != dims) return false;
    v = hint_value_;
    return true;
  }

 private:
  mutable py::object approx_;
  mutable bool hint_pending_ = false;
  float hint_value_ = 0;
  int hint_dims_ = 0;
};

// The tensor's version counter; false for tensors that keep none (inference tensors), whose
// bound is never trusted twice.
inline bool tensor_version(const at::Tensor& t, std::uint32_t& v) {
  if (!t.defined() || t.is_inference()) return false;
  v = (std::uint32_t)t._version();
  return true;
}

py::handle record_type();
void set_record_type(py::handle cls);
bool is_record(py::handle obj);
// The record behind an instance; AttributeError, as for an unset slot, when the instance was
// made by __new__ alone (or lacks a residue tensor), and a stale bound is dropped on the way.
Record& as_record(py::handle obj);

// Elements of `shape`, refusing (std::bad_alloc, MemoryError in Python) any shape whose
// residues could not be addressed: count * N_PRIMES * 8 bytes must fit in a size_t.
int64_t element_count(c10::IntArrayRef shape);

// A new base-class record around the given tensors (the moduli are the cached device copy).
py::object make_record(at::Tensor num, at::Tensor den, py::object approx, int num_bits, int den_bits);
// The same with a pending hint (Record::set_pending_hint), for one-element CPU results.
py::object make_record(at::Tensor num, at::Tensor den, float hint, int hint_dims, int num_bits, int den_bits);

using kernels::primes_on;
using kernels::primes_tensor;
using kernels::set_primes_tensor;
// The moduli tensor records share as their `primes` slot, per device: a copy apart from the
// kernels' own, so that no write through a record's slot can reach the kernels.
const at::Tensor& record_primes_on(const at::Device& device);
py::object device_object(const at::Device& device);
at::Device parse_device(const std::string& device);

// Checks the layout every kernel relies on (int64 [N_PRIMES, *shape] residues, equal sizes,
// one device, the fixed moduli), then measures the bound if it is unknown or stale: one host
// copy, all elements reconstructed in parallel. The measurement also refuses residues outside
// [0, p), which no operation of the library can produce. Every reader of residues calls it.
void ensure_bits(Record& r);
void check_layout(Record& r);

using kernels::generic_kernels_only;

// Contiguous CPU copy of residues as [N_PRIMES, n].
at::Tensor host_residues(const at::Tensor& t);

[[noreturn]] void raise_range_error(const char* what);

// A record of `shape` on `device` with every element n/d, where n and d already fit.
py::object fill_record(py::handle cls, const exact::SBig& n, const exact::SBig& d,
                       const std::vector<int64_t>& shape, const at::Device& device, double approx);
// The same from the value's residues and bit lengths.
py::object fill_record(py::handle cls, const int64_t* num_res, const int64_t* den_res, int num_bits, int den_bits,
                       const std::vector<int64_t>& shape, const at::Device& device, double approx);

// A Python int or float operand as an arithmetic operator takes it: int(x) over 1, checked
// against the exact range, at `shape` on `device`.
py::object number_record(py::handle number, const at::Device& device, const std::vector<int64_t>& shape);

// Correctly rounded double of n/d as Python's true division gives it: through the order key
// where n and d are non-zero values of the range, else through Python (ZeroDivisionError and
// OverflowError as Python raises them, and the sign of a zero quotient).
double true_divide(const exact::SBig& n, const exact::SBig& d);

// A record of one element: shape () or (1,).
bool is_one_element(const Record& r);

// simplify(): a one-element record rebuilt in lowest terms, anything else (and zero
// denominators) returned as it is.
py::object simplified(py::handle rec);

// Creates the class ModularTensor in `m` with its constructor, slots and the members above.
py::handle register_record(py::module_& m);

}  // namespace korvex::record
