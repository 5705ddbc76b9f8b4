#include "functional/functions.h"

#include <torch/csrc/utils/pybind.h>

#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"
#include "record/record.h"

namespace korvex::functional {

namespace py = pybind11;

namespace {

py::object call_method(py::handle obj, const char* name) { return py::reinterpret_borrow<py::object>(obj).attr(name)(); }

template <const char* kMethod>
py::object forward0(py::handle, const python::Args& a) {
  return call_method(a[0], kMethod);
}

py::object from_tensor(py::handle t) {
  return py::reinterpret_borrow<py::object>(record::record_type()).attr("from_tensor")(t);
}

py::object f_sum(py::handle, const python::Args& a) { return from_tensor(a[0]).attr("sum")(); }

py::object f_dot(py::handle, const python::Args& a) {
  py::object x = from_tensor(a[0]);
  py::object y = from_tensor(a[1]);
  return x.attr("dot")(y);
}

template <const char* kMethod>
py::object f_arg(py::handle, const python::Args& a) {
  py::object r = call_method(a[0], kMethod);
  if (r.is_none() || PyLong_CheckExact(r.ptr())) return r;
  if (PyNumber_Check(r.ptr())) {
    PyObject* v = PyNumber_Long(r.ptr());
    if (!v) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
  }
  python::raise_format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(r.ptr())->tp_name);
}

// x and one int argument.
template <const char* kMethod, const char* kArg>
py::object f_int(py::handle, const python::Args& a) {
  py::object v = python::coerce_int(a[1], kArg);
  return py::reinterpret_borrow<py::object>(a[0]).attr(kMethod)(v);
}

py::object f_clamp(py::handle, const python::Args& a) {
  py::object lo = python::coerce_optional_float(a[1], "min_val");
  py::object hi = python::coerce_optional_float(a[2], "max_val");
  return py::reinterpret_borrow<py::object>(a[0]).attr("clamp")(lo, hi);
}

#define KORVEX_NAME(id, text) constexpr char id[] = text;
KORVEX_NAME(kAbs, "abs") KORVEX_NAME(kMax, "max") KORVEX_NAME(kMin, "min") KORVEX_NAME(kArgmax, "argmax")
KORVEX_NAME(kArgmin, "argmin") KORVEX_NAME(kRelu, "relu") KORVEX_NAME(kVar, "var") KORVEX_NAME(kStd, "std")
KORVEX_NAME(kNorm, "norm") KORVEX_NAME(kProd, "prod") KORVEX_NAME(kPow, "pow") KORVEX_NAME(kSign, "sign")
KORVEX_NAME(kRecip, "reciprocal") KORVEX_NAME(kSquare, "square")
KORVEX_NAME(kCorrection, "correction") KORVEX_NAME(kP, "p") KORVEX_NAME(kN, "n")
#undef KORVEX_NAME

using python::function;

// The two that take plain tensors come first in the module, the forwards after the series.
const python::Def kConversions[] = {
    function<f_sum>("modular_sum", {{"x"}}, "Exact sum of tensor elements."),
    function<f_dot>("modular_dot", {{"a"}, {"b"}}, "Exact dot product."),
};

const python::Def kForwards[] = {
    function<forward0<kAbs>>("modular_abs", {{"x"}}, "Exact absolute value."),
    function<forward0<kMax>>("modular_max", {{"x"}}, "Exact maximum element."),
    function<forward0<kMin>>("modular_min", {{"x"}}, "Exact minimum element."),
    function<f_arg<kArgmax>>("modular_argmax", {{"x"}}, "Index of maximum element."),
    function<f_arg<kArgmin>>("modular_argmin", {{"x"}}, "Index of minimum element."),
    function<forward0<kRelu>>("modular_relu", {{"x"}}, "Exact ReLU: max(x, 0)."),
    function<f_clamp>("modular_clamp", {{"x"}, {"min_val", "None"}, {"max_val", "None"}}, "Clamp values to range."),
    function<f_int<kVar, kCorrection>>("modular_var", {{"x"}, {"correction", "1"}}, "Exact variance."),
    function<f_int<kStd, kCorrection>>("modular_std", {{"x"}, {"correction", "1"}},
                                       "Standard deviation (sqrt is approximated)."),
    function<f_int<kNorm, kP>>("modular_norm", {{"x"}, {"p", "2"}}, "Lp norm (sqrt is approximated for L2)."),
    function<forward0<kProd>>("modular_prod", {{"x"}}, "Exact product of all elements."),
    function<f_int<kPow, kN>>("modular_pow", {{"x"}, {"n"}}, "Exact integer power."),
    function<forward0<kSign>>("modular_sign", {{"x"}}, "Sign of each element (-1, 0, 1)."),
    function<forward0<kRecip>>("modular_reciprocal", {{"x"}}, "Exact reciprocal 1/x."),
    function<forward0<kSquare>>("modular_square", {{"x"}}, "Exact square x^2."),
};

}  // namespace

python::Exports register_functions(py::module_& m) { return python::install(py::handle(), m, kForwards); }

python::Exports register_conversions(py::module_& m) { return python::install(py::handle(), m, kConversions); }

}  // namespace korvex::functional
