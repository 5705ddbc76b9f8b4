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

// Python integers for a sum whose intermediates outgrew the fixed host capacity: term(t)
// gives the t-th fraction. The result must fit (OverflowError otherwise).
using Term = std::function<void(int64_t, exact::SBig&, exact::SBig&)>;
void python_sum(int64_t count, const Term& term, exact::SBig& n, exact::SBig& d);

// Lowest terms of the sum of term(0) .. term(count - 1), exact for any count: the terms are
// summed in parallel without the GIL (term must not touch Python), and sums that outgrow the
// host capacity are redone with Python integers. `scale`: the largest power of two expected
// in a denominator.
void exact_total(int64_t count, const Term& term, int scale, exact::SBig& n, exact::SBig& d);

// Turns the lowest terms n/d of a sum of `count` fractions into the unreduced sum that the
// documented fraction addition gives (denominator the product of every den(t), numerator the
// value times it) wherever both fit; n/d stays as it is otherwise, and for d = 0.
using Den = std::function<exact::SBig(int64_t)>;
void keep_unreduced(int64_t count, const Den& den, exact::SBig& n, exact::SBig& d);

// The sum of every element in lowest terms by the dyadic superaccumulator, on the record's
// device where it has a kernel; false when some denominator is not a power of two (the
// general host path then takes over). OverflowError when the sum leaves the range.
bool dyadic_total(record::Record& r, exact::SBig& n, exact::SBig& d);

// The whole-record sum as `sum()` returns it: shape (1,).
py::object total_record(record::Record& r);

// Sum along element axis `axis` (already normalised), as `_sum_dim` returns it.
py::object axis_sum_record(record::Record& r, int64_t axis);

void register_sum(py::handle cls);

}  // namespace korvex::reduce
