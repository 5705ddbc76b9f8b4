#include "arithmetic/power.h"

#include <torch/csrc/utils/pybind.h>

#include "arithmetic/ops.h"
#include "python/args.h"
#include "python/table.h"

namespace korvex::arithmetic {

namespace py = pybind11;
using record::Record;

namespace {

py::object ones_like_record(const Record& r) {
  exact::SBig one;
  one.mag = exact::UBig(1);
  return record::fill_record(record::record_type(), one, one, r.shape(), r.num.device(), 1.0);
}

// Every product goes through the exact multiplication, so each element keeps its unreduced
// power while that fits and falls back to lowest terms only where it must; one-element
// records are brought to lowest terms after every product.
py::object power(py::handle self, py::object n) {
  Record& r = record::as_record(self);
  static py::handle zero = (py::int_(0)).release(), one = (py::int_(1)).release();
  if (PyObject_RichCompareBool(n.ptr(), zero.ptr(), Py_EQ) == 1) return ones_like_record(r);
  if (PyObject_RichCompareBool(n.ptr(), one.ptr(), Py_EQ) == 1) return py::reinterpret_borrow<py::object>(self);
  if (PyObject_RichCompareBool(n.ptr(), zero.ptr(), Py_LT) == 1) {
    py::object positive = power(self, py::reinterpret_steal<py::object>(PyNumber_Negative(n.ptr())));
    py::object unit = ones_like_record(r);
    return binary(FieldOp::Div, record::as_record(unit), record::as_record(positive));
  }
  py::object result = ones_like_record(r), base = py::reinterpret_borrow<py::object>(self);
  while (true) {
    if (PyObject_IsTrue(n.attr("__and__")(one).ptr())) {
      result = record::simplified(binary(FieldOp::Mul, record::as_record(result), record::as_record(base)));
    }
    n = n.attr("__rshift__")(one);
    // The square after the highest bit is never used; skipping it keeps x**n from failing on
    // an x**(2n) that would not fit.
    if (!PyObject_IsTrue(n.ptr())) break;
    base = record::simplified(binary(FieldOp::Mul, record::as_record(base), record::as_record(base)));
  }
  return result;
}

template <bool kOperator>
py::object m_pow(py::handle self, const python::Args& a) {
  return power(self, python::coerce_int(a[0], "n"));
}

}  // namespace

void register_power(py::handle cls) {
  static const python::Def members[] = {
      python::method<m_pow<false>>("pow", {{"n"}}, "Exact integer power x^n. Uses binary exponentiation for efficiency."),
      python::method<m_pow<true>>("__pow__", {{"n"}}, "Power operator x ** n."),
  };
  python::install(cls, members);
}

}  // namespace korvex::arithmetic
