// Exact values of a record's elements on the host, in row-major order: one copy of only the
// residue rows the size bound needs, reconstructed element by element on demand (in parallel
// loops, without the GIL).
#pragma once

#include <ATen/ATen.h>

#include <atomic>
#include <vector>

#include "exact/crt.h"
#include "kernels/exact_jobs.h"
#include "record/record.h"

namespace korvex::record {

struct HostValues {
  at::Tensor n, d;  // [kn, count] and [kd, count], contiguous CPU
  int kn = 1, kd = 1;
  int64_t count = 0;
  const int64_t* pn = nullptr;
  const int64_t* pd = nullptr;

  exact::SBig num(int64_t k) const { return exact::crt_signed(pn + k, count, kn); }
  exact::SBig den(int64_t k) const { return exact::crt_signed(pd + k, count, kd); }
};

// The residue rows that the record's bound says hold its values, contiguous [kn, n] and
// [kd, n] on the record's own device: what every exact job reads. Measures the bound first
// when it is unknown.
kernels::Rows value_rows(Record& r);

// The same rows on the host.
HostValues host_values(Record& r);

// Exact values written back as residues, element by element into [N_PRIMES, count] host
// buffers (safe from parallel loops without the GIL), with the bound of what was written.
class ResidueWriter {
 public:
  explicit ResidueWriter(int64_t count);
  // Writes n/d at k; a value outside the range is not written but flagged.
  void put(int64_t k, const exact::SBig& n, const exact::SBig& d);
  // The same from the value's residues (num[j], den[j]) and bit lengths, known to be in range.
  void put_residues(int64_t k, const int64_t* num, const int64_t* den, int num_bits, int den_bits);
  void flag_overflow() { overflow_ = true; }
  bool overflowed() const { return overflow_; }
  // The record of `shape` on `device`; OverflowError "<what> exceeds the exact range" if any
  // value could not be held.
  py::object record(const std::vector<int64_t>& shape, const at::Device& device, py::object hint,
                    const char* what) const;

 private:
  at::Tensor num_, den_;
  int64_t count_;
  std::atomic<int> nb_{0}, db_{0};
  std::atomic<bool> overflow_{false};
};

}  // namespace korvex::record
