#include "functional/functions.h"

#include <torch/csrc/utils/pybind.h>

#include "python/args.h"
#include "record/record.h"

namespace korvex::functional {

namespace py = pybind11;
using python::Signature;

namespace {

py::object call_method(py::handle obj, const char* name) { return py::reinterpret_borrow<py::object>(obj).attr(name)(); }

template <const char* kName, const char* kMethod>
py::object forward0(py::handle, PyObject* args, PyObject* kw) {
  static const Signature sig{kName, {"x"}, 1, 0};
  auto a = python::parse(sig, args, kw);
  return call_method(a[0], kMethod);
}

py::object from_tensor(py::handle t) {
  return py::reinterpret_borrow<py::object>(record::record_type()).attr("from_tensor")(t);
}

py::object f_sum(py::handle, PyObject* args, PyObject* kw) {
  static const Signature sig{"modular_sum", {"x"}, 1, 0};
  auto a = python::parse(sig, args, kw);
  return from_tensor(a[0]).attr("sum")();
}

py::object f_dot(py::handle, PyObject* args, PyObject* kw) {
  static const Signature sig{"modular_dot", {"a", "b"}, 2, 0};
  auto a = python::parse(sig, args, kw);
  py::object x = from_tensor(a[0]);
  py::object y = from_tensor(a[1]);
  return x.attr("dot")(y);
}

template <const char* kName, const char* kMethod>
py::object f_arg(py::handle, PyObject* args, PyObject* kw) {
  static const Signature sig{kName, {"x"}, 1, 0};
  auto a = python::parse(sig, args, kw);
  py::object r = call_method(a[0], kMethod);
  if (r.is_none() || PyLong_CheckExact(r.ptr())) return r;
  if (PyNumber_Check(r.ptr())) {
    PyObject* v = PyNumber_Long(r.ptr());
    if (!v) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
  }
  PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(r.ptr())->tp_name);
  throw py::error_already_set();
}

// x and one int argument with a default (or none: `required`).
template <const char* kName, const char* kMethod, const char* kArg, int kDefault, bool kRequired>
py::object f_int(py::handle, PyObject* args, PyObject* kw) {
  static const Signature sig{kName, {"x", kArg}, kRequired ? 2 : 1, 0};
  auto a = python::parse(sig, args, kw);
  static py::handle fallback = py::int_(kDefault).release();
  py::object v = python::coerce_int(a[1] ? a[1] : fallback, kArg);
  return py::reinterpret_borrow<py::object>(a[0]).attr(kMethod)(v);
}

py::object f_clamp(py::handle, PyObject* args, PyObject* kw) {
  static const Signature sig{"modular_clamp", {"x", "min_val", "max_val"}, 1, 0};
  auto a = python::parse(sig, args, kw);
  py::object lo = python::coerce_optional_float(a[1] ? a[1] : py::none(), "min_val");
  py::object hi = python::coerce_optional_float(a[2] ? a[2] : py::none(), "max_val");
  return py::reinterpret_borrow<py::object>(a[0]).attr("clamp")(lo, hi);
}

#define KORVEX_NAME(id, text) constexpr char id[] = text;
KORVEX_NAME(kAbsN, "modular_abs") KORVEX_NAME(kAbs, "abs")
KORVEX_NAME(kMaxN, "modular_max") KORVEX_NAME(kMax, "max")
KORVEX_NAME(kMinN, "modular_min") KORVEX_NAME(kMin, "min")
KORVEX_NAME(kArgmaxN, "modular_argmax") KORVEX_NAME(kArgmax, "argmax")
KORVEX_NAME(kArgminN, "modular_argmin") KORVEX_NAME(kArgmin, "argmin")
KORVEX_NAME(kReluN, "modular_relu") KORVEX_NAME(kRelu, "relu")
KORVEX_NAME(kVarN, "modular_var") KORVEX_NAME(kVar, "var")
KORVEX_NAME(kStdN, "modular_std") KORVEX_NAME(kStd, "std")
KORVEX_NAME(kNormN, "modular_norm") KORVEX_NAME(kNorm, "norm")
KORVEX_NAME(kProdN, "modular_prod") KORVEX_NAME(kProd, "prod")
KORVEX_NAME(kPowN, "modular_pow") KORVEX_NAME(kPow, "pow")
KORVEX_NAME(kSignN, "modular_sign") KORVEX_NAME(kSign, "sign")
KORVEX_NAME(kRecipN, "modular_reciprocal") KORVEX_NAME(kRecip, "reciprocal")
KORVEX_NAME(kSquareN, "modular_square") KORVEX_NAME(kSquare, "square")
KORVEX_NAME(kCorrection, "correction") KORVEX_NAME(kP, "p") KORVEX_NAME(kN, "n")
#undef KORVEX_NAME

}  // namespace

void register_functions(py::module_& m) {
  using python::add_function;
  using python::trampoline;
  add_function(m, "modular_abs", &trampoline<forward0<kAbsN, kAbs>>, "Exact absolute value.");
  add_function(m, "modular_max", &trampoline<forward0<kMaxN, kMax>>, "Exact maximum element.");
  add_function(m, "modular_min", &trampoline<forward0<kMinN, kMin>>, "Exact minimum element.");
  add_function(m, "modular_argmax", &trampoline<f_arg<kArgmaxN, kArgmax>>, "Index of maximum element.");
  add_function(m, "modular_argmin", &trampoline<f_arg<kArgminN, kArgmin>>, "Index of minimum element.");
  add_function(m, "modular_relu", &trampoline<forward0<kReluN, kRelu>>, "Exact ReLU: max(x, 0).");
  add_function(m, "modular_var", &trampoline<f_int<kVarN, kVar, kCorrection, 1, false>>, "Exact variance.");
  add_function(m, "modular_std", &trampoline<f_int<kStdN, kStd, kCorrection, 1, false>>,
               "Standard deviation (sqrt is approximated).");
  add_function(m, "modular_norm", &trampoline<f_int<kNormN, kNorm, kP, 2, false>>,
               "Lp norm (sqrt is approximated for L2).");
  add_function(m, "modular_prod", &trampoline<forward0<kProdN, kProd>>, "Exact product of all elements.");
  add_function(m, "modular_pow", &trampoline<f_int<kPowN, kPow, kN, 0, true>>, "Exact integer power.");
  add_function(m, "modular_clamp", &trampoline<f_clamp>, "Clamp values to range.");
  add_function(m, "modular_sign", &trampoline<forward0<kSignN, kSign>>, "Sign of each element (-1, 0, 1).");
  add_function(m, "modular_reciprocal", &trampoline<forward0<kRecipN, kRecip>>, "Exact reciprocal 1/x.");
  add_function(m, "modular_square", &trampoline<forward0<kSquareN, kSquare>>, "Exact square x^2.");
}

void register_conversions(py::module_& m) {
  python::add_function(m, "modular_sum", &python::trampoline<f_sum>, "Exact sum of tensor elements.");
  python::add_function(m, "modular_dot", &python::trampoline<f_dot>, "Exact dot product.");
}

}  // namespace korvex::functional
