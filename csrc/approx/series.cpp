#include "approx/series.h"

#include <torch/csrc/utils/pybind.h>

#include <cmath>
#include <map>

#include "arithmetic/ops.h"
#include "exact/crt.h"
#include "python/args.h"
#include "record/floats.h"
#include "record/host.h"
#include "reduce/sum.h"

namespace korvex::approx {

namespace py = pybind11;
using arithmetic::FieldOp;
using exact::SBig;
using exact::UBig;
using record::Record;

namespace {

// Each step goes through the exact element-wise operations: unreduced while that fits,
// lowest terms per element where it must, OverflowError where nothing fits. One-element
// records are brought to lowest terms by every simplify, as the recurrences prescribe.
py::object op(FieldOp f, const py::object& a, const py::object& b) {
  return arithmetic::binary(f, record::as_record(a), record::as_record(b));
}
py::object mul(const py::object& a, const py::object& b) { return op(FieldOp::Mul, a, b); }
py::object simp(const py::object& x) { return record::simplified(x); }

SBig small(int64_t v) {
  SBig s;
  s.mag = UBig(v < 0 ? (std::uint64_t)(-v) : (std::uint64_t)v);
  s.neg = v < 0;
  return s;
}

// Python's int * int for the growing factorials and binomial coefficients, with a check
// that they still fit the range a constant of the series must have.
void times(SBig& x, int64_t m) {
  SBig t;
  exact::sbig_mul(t, x, small(m));
  if (!exact::fits(t)) record::raise_range_error("a coefficient of the series");
  x = t;
}

struct Frame {
  std::vector<int64_t> shape;
  at::Device device = at::kCPU;
  py::object x;  // the simplified input

  py::object constant(const SBig& n, const SBig& d) const {
    if (d.mag.is_zero()) throw py::value_error("zero denominator in a series coefficient");
    return record::fill_record(record::record_type(), n, d, shape, device, record::true_divide(n, d));
  }
  py::object constant(int64_t v) const { return constant(small(v), small(1)); }
};

Frame frame_of(py::handle x) {
  py::getattr(x, "device");
  if (!record::is_record(x)) throw py::type_error("expected a ModularTensor, got " + python::type_name(x));
  Record& r = record::as_record(x);
  Frame f;
  f.shape = r.shape();
  f.device = r.num.device();
  f.x = simp(py::reinterpret_borrow<py::object>(x));
  return f;
}

int64_t terms_arg(py::handle v, int64_t fallback) {
  if (!v) return fallback;
  py::object t = python::coerce_int(v, "terms");
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(t.ptr(), &overflow);
  if (overflow < 0) return 0;
  // More terms than this need a factorial far past the range long before the loop ends.
  if (overflow > 0) return std::numeric_limits<int64_t>::max();
  return n;
}

const python::Signature& series_sig(const char* name, const char* arg) {
  static std::map<std::string, python::Signature>* sigs = new std::map<std::string, python::Signature>();
  auto it = sigs->find(name);
  if (it == sigs->end()) it = sigs->emplace(name, python::Signature{name, {arg, "terms"}, 1, 0}).first;
  return it->second;
}

py::object f_exp(py::handle, PyObject* args, PyObject* kw) {
  auto a = python::parse(series_sig("exp_taylor", "x"), args, kw);
  const int64_t terms = terms_arg(a[1], 20);
  Frame f = frame_of(a[0]);
  py::object result = f.constant(1), term = f.constant(1);
  SBig factorial = small(1);
  for (int64_t n = 1; n < terms; ++n) {
    term = mul(term, f.x);
    times(factorial, n);
    py::object contribution = simp(mul(term, f.constant(small(1), factorial)));
    result = simp(op(FieldOp::Add, result, contribution));
  }
  return result;
}

template <bool kSin>
py::object f_trig(py::handle, PyObject* args, PyObject* kw) {
  auto a = python::parse(series_sig(kSin ? "sin_taylor" : "cos_taylor", "x"), args, kw);
  const int64_t terms = terms_arg(a[1], 20);
  Frame f = frame_of(a[0]);
  py::object result = f.constant(kSin ? 0 : 1);
  const py::object x_squared = mul(f.x, f.x);
  py::object power = kSin ? simp(f.x) : f.constant(1);
  SBig factorial = small(1);
  int64_t sign = kSin ? 1 : -1;
  for (int64_t n = kSin ? 0 : 1; n < terms; ++n) {
    const int64_t k = kSin ? 2 * n + 1 : 2 * n;
    if (!kSin || n > 0) {
      times(factorial, (k - 1) * k);
      power = simp(mul(power, x_squared));
    }
    py::object contribution = simp(mul(power, f.constant(small(sign), factorial)));
    result = simp(op(FieldOp::Add, result, contribution));
    sign = -sign;
  }
  return result;
}

py::object f_log1p(py::handle, PyObject* args, PyObject* kw) {
  auto a = python::parse(series_sig("log1p_taylor", "x"), args, kw);
  const int64_t terms = terms_arg(a[1], 30);
  Frame f = frame_of(a[0]);
  py::object result = f.constant(0), power = simp(f.x);
  int64_t sign = 1;
  for (int64_t n = 1; n <= terms; ++n) {
    py::object contribution = simp(mul(power, f.constant(small(sign), small(n))));
    result = simp(op(FieldOp::Add, result, contribution));
    power = simp(mul(power, f.x));
    sign = -sign;
  }
  return result;
}

py::object f_sqrt_taylor(py::handle, PyObject* args, PyObject* kw) {
  auto a = python::parse(series_sig("sqrt_taylor", "a"), args, kw);
  const int64_t terms = terms_arg(a[1], 30);
  Frame f = frame_of(a[0]);
  py::object one = f.constant(1);
  const py::object x = op(FieldOp::Sub, f.x, one);
  py::object result = simp(one), power = simp(one);
  SBig cn = small(1), cd = small(1);
  for (int64_t n = 1; n < terms; ++n) {
    times(cn, 3 - 2 * n);
    times(cd, 2 * n);
    exact::reduce_fraction(cn, cd);
    power = simp(mul(power, x));
    py::object term = simp(mul(power, f.constant(cn, cd)));
    result = simp(op(FieldOp::Add, result, term));
  }
  return result;
}

// ---------------------------------------------------------------- Newton square root

bool one_element(const Record& r) { return r.num.dim() == 1 || (r.num.dim() == 2 && r.num.size(1) == 1); }

py::object newton(py::handle a_obj, int64_t max_iterations, int64_t max_bits) {
  py::getattr(a_obj, "device");
  if (!record::is_record(a_obj)) throw py::type_error("expected a ModularTensor, got " + python::type_name(a_obj));
  Record& a = record::as_record(a_obj);
  const at::Tensor image = record::float_image(a);
  const double a_float = image.item<double>();
  // A zero denominator reads as inf or nan; it has no square root either.
  const bool zero_den = record::host_values(a).den(0).mag.is_zero();
  if (zero_den || !(a_float > 0)) throw py::value_error("sqrt requires positive value");
  const double scaled = std::sqrt(a_float) * 1073741824.0;
  if (std::isinf(scaled)) {
    PyErr_SetString(PyExc_OverflowError, "cannot convert float infinity to integer");
    throw py::error_already_set();
  }
  const double root = std::nearbyint(scaled);  // ties to even, as round() does
  SBig x0;
  python::int_to_sbig(py::reinterpret_steal<py::object>(PyLong_FromDouble(root)), x0);
  const at::Device dev = a.num.device();
  py::object x = record::fill_record(record::record_type(), x0, small(1073741824), {}, dev, root / 1073741824.0);
  py::object two = record::fill_record(record::record_type(), small(2), small(1), {}, dev, 2.0);
  py::object a_ref = py::reinterpret_borrow<py::object>(a_obj);
  for (int64_t it = 0; it < max_iterations; ++it) {
    py::object x_new = simp(op(FieldOp::Div, op(FieldOp::Add, x, op(FieldOp::Div, a_ref, x)), two));
    Record& xn = record::as_record(x_new);
    // Only a one-element iterate has a rational to measure; anything else ends the iteration.
    if (!one_element(xn)) return x;
    const record::HostValues h = record::host_values(xn);
    SBig num = h.num(0), den = h.den(0);
    exact::reduce_fraction(num, den);
    if (num.mag.bit_length() + den.mag.bit_length() > max_bits) return x;
    x = x_new;
  }
  return x;
}

int64_t int64_arg(py::handle v, const char* name, int64_t fallback) {
  if (!v) return fallback;
  py::object t = python::coerce_int(v, name);
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(t.ptr(), &overflow);
  if (overflow) return overflow < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  return n;
}

py::object f_sqrt_newton(py::handle, PyObject* args, PyObject* kw) {
  static const python::Signature sig{"sqrt_newton", {"a", "max_iterations", "max_bits"}, 1, 0};
  auto a = python::parse(sig, args, kw);
  const int64_t iterations = int64_arg(a[1], "max_iterations", 10);
  const int64_t bits = int64_arg(a[2], "max_bits", 500);
  return newton(a[0], iterations, bits);
}

// ---------------------------------------------------------------- norms and statistics

py::object m_norm(py::handle self, PyObject* args, PyObject* kw) {
  static const python::Signature sig{"norm", {"p"}, 0, 1};
  auto a = python::parse(sig, args, kw);
  static py::handle two = (py::int_(2)).release();
  py::object p = python::coerce_int(a[0] ? a[0] : two, "p");
  py::object me = py::reinterpret_borrow<py::object>(self);
  if (PyObject_RichCompareBool(p.ptr(), two.ptr(), Py_EQ) == 1) {
    py::object sum_sq = simp(reduce::total_record(record::as_record(mul(me, me))));
    return newton(sum_sq, 10, 500);
  }
  if (PyObject_RichCompareBool(p.ptr(), py::int_(1).ptr(), Py_EQ) == 1)
    return reduce::total_record(record::as_record(me.attr("abs")()));
  throw py::value_error("Only L1 and L2 norms supported");
}

py::object variance(py::handle self, py::handle correction_obj) {
  static py::handle one_obj = (py::int_(1)).release();
  py::object correction = python::coerce_int(correction_obj ? correction_obj : one_obj, "correction");
  Record& r = record::as_record(self);
  const int64_t n = r.elements();
  const at::Device dev = r.num.device();
  py::object me = py::reinterpret_borrow<py::object>(self);
  py::object n_mt = record::fill_record(record::record_type(), small(n), small(1), {}, dev, (double)n);
  py::object mean = simp(op(FieldOp::Div, reduce::total_record(r), n_mt));
  py::object mean_sq = simp(op(FieldOp::Div, reduce::total_record(record::as_record(mul(me, me))), n_mt));
  py::object v = simp(op(FieldOp::Sub, mean_sq, mul(mean, mean)));
  if (PyObject_IsTrue(correction.ptr())) {
    static py::handle from_fraction = py::object(py::reinterpret_borrow<py::object>(record::record_type()).attr("from_fraction")).release();
    py::object nn = py::int_(n);
    py::object factor = from_fraction(nn, nn - correction, py::tuple(), py::str(dev.str()));
    v = simp(mul(v, factor));
  }
  return v;
}

py::object m_var(py::handle self, PyObject* args, PyObject* kw) {
  static const python::Signature sig{"var", {"correction"}, 0, 1};
  auto a = python::parse(sig, args, kw);
  return variance(self, a[0]);
}

py::object m_std(py::handle self, PyObject* args, PyObject* kw) {
  static const python::Signature sig{"std", {"correction"}, 0, 1};
  auto a = python::parse(sig, args, kw);
  return newton(variance(self, a[0]), 10, 500);
}

}  // namespace

void register_approx(py::module_& m, py::handle cls) {
  using python::add_function;
  using python::add_method;
  using python::trampoline;
  add_function(m, "exp_taylor", &trampoline<f_exp>,
               "Compute e^x using Taylor series with exact coefficients. e^x = 1 + x + x^2/2! + x^3/3! + ... "
               "Returns ModularTensor (same shape as input)");
  add_function(m, "sin_taylor", &trampoline<f_trig<true>>,
               "Compute sin(x) using Taylor series. sin(x) = x - x^3/3! + x^5/5! - ... Returns ModularTensor "
               "(same shape as input)");
  add_function(m, "cos_taylor", &trampoline<f_trig<false>>,
               "Compute cos(x) using Taylor series. cos(x) = 1 - x^2/2! + x^4/4! - ... Returns ModularTensor "
               "(same shape as input)");
  add_function(m, "log1p_taylor", &trampoline<f_log1p>,
               "Compute log(1+x) using Taylor series. log(1+x) = x - x^2/2 + x^3/3 - x^4/4 + ... Converges for "
               "|x| < 1. Returns ModularTensor (same shape as input)");
  add_function(m, "sqrt_taylor", &trampoline<f_sqrt_taylor>,
               "Compute sqrt(a) using binomial series around a=1. sqrt(1+x) = 1 + x/2 - x^2/8 + x^3/16 - ... Only "
               "works for a close to 1 (|a-1| < 1). Returns ModularTensor (same shape as input)");
  add_function(m, "sqrt_newton", &trampoline<f_sqrt_newton>,
               "Compute sqrt(a) using Newton-Raphson iteration. x_{n+1} = (x_n + a/x_n) / 2 Works for any positive "
               "value. Args: a: Input ModularTensor (scalar, a > 0) max_iterations: Maximum number of iterations "
               "max_bits: Maximum bit size before stopping (prevents overflow) Returns: ModularTensor approximating "
               "sqrt(a)");
  add_method(cls, "norm", &trampoline<m_norm>,
             "Compute Lp norm. For p=2, returns sqrt(sum(x^2)). Note: sqrt is approximated using Newton iteration.");
  add_method(cls, "var", &trampoline<m_var>,
             "Exact variance: sum((x - mean)^2) / (n - correction) Uses the formula: var = E[x^2] - E[x]^2");
  add_method(cls, "std", &trampoline<m_std>,
             "Exact standard deviation: sqrt(var). Note: sqrt is approximated using Newton iteration.");
}

}  // namespace korvex::approx
