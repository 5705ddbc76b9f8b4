// Exact values of a record's elements on the host, in row-major order: one copy of only the
// residue rows the size bound needs, reconstructed element by element on demand (in parallel
// loops, without the GIL).
#pragma once

#include <ATen/ATen.h>

#include "exact/crt.h"
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

// Measures the bound first when it is unknown.
HostValues host_values(Record& r);

}  // namespace korvex::record
