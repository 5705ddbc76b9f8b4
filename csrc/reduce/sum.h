// Sums: of all elements (lowest terms), along one axis (the unreduced fraction sum wherever
// it fits), and the dot product built on them.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

#include "record/host.h"
#include "record/record.h"
#include "reduce/exact_sum.h"

namespace korvex::reduce {

namespace py = pybind11;

// Lowest terms of the sum of `count` elements of `h` starting at `first`, `step` apart.
// Exact for any count: sums that outgrow the host capacity are redone with Python integers
// (so this needs the GIL; it releases it around the fast loop itself).
void exact_total(const record::HostValues& h, int64_t first, int64_t step, int64_t count, int scale,
                 exact::SBig& n, exact::SBig& d);

// Python integers for a sum whose intermediates outgrew the fixed host capacity: term(t)
// gives the t-th fraction. The result must fit (OverflowError otherwise).
void python_sum(int64_t count, const std::function<void(int64_t, exact::SBig&, exact::SBig&)>& term,
                exact::SBig& n, exact::SBig& d);

// The whole-record sum as `sum()` returns it: shape (1,).
py::object total_record(record::Record& r);

// Sum along element axis `axis` (already normalised), as `_sum_dim` returns it.
py::object axis_sum_record(record::Record& r, int64_t axis);

void register_sum(py::handle cls);

}  // namespace korvex::reduce
