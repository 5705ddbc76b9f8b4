#include "approx/series.h"

#include <torch/csrc/utils/pybind.h>

#include <cmath>
#include <map>

#include "arithmetic/ops.h"
#include "exact/crt.h"
#include "exact/rational.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"
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

// Ctrl-C reaches a long loop between two of its steps.
void check_signals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

struct Frame {
  std::vector<int64_t> shape;
  at::Device device = at::kCPU;
  py::object x;  // the simplified input

  py::object constant(const SBig& n, const SBig& d) const {
    if (d.mag.is_zero()) python::raise_value_error("zero denominator in a series coefficient");
    return record::fill_record(record::record_type(), n, d, shape, device, record::true_divide(n, d));
  }
  py::object constant(int64_t v) const { return constant(small(v), small(1)); }
};

Frame frame_of(py::handle x) {
  py::getattr(x, "device");
  if (!record::is_record(x)) python::raise_type_error("expected a ModularTensor, got " + python::type_name(x));
  Record& r = record::as_record(x);
  Frame f;
  f.shape = r.shape();
  f.device = r.num.device();
  f.x = simp(py::reinterpret_borrow<py::object>(x));
  return f;
}

int64_t terms_arg(py::handle v) {
  py::object t = python::coerce_int(v, "terms");
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(t.ptr(), &overflow);
  if (overflow < 0) return 0;
  // More terms than this need a factorial far past the range long before the loop ends.
  if (overflow > 0) return std::numeric_limits<int64_t>::max();
  return n;
}


// ---------------------------------------------------------------- the recurrences

enum class Series { Exp, Sin, Cos, Log1p, Sqrt };

// One recurrence per series, over either kind of value: records (each step an exact
// element-wise operation, `simp` where the recurrence normalises) or, for one-element inputs,
// exact fractions in C++ that are in lowest terms at every step anyway, so that the whole
// series runs without a record per step and with the same value, residues and errors.
template <class Ops>
typename Ops::V run_series(Series kind, const Ops& o, const typename Ops::V& x, int64_t terms) {
  using V = typename Ops::V;
  SBig c = small(1);  // the factorial, or the numerator of the binomial coefficient
  switch (kind) {
    case Series::Exp: {
      V result = o.constant(1), term = o.constant(1);
      for (int64_t n = 1; n < terms; ++n) {
        check_signals();
        term = o.mul(term, x);
        times(c, n);
        V contribution = o.simp(o.mul(term, o.constant(small(1), c)));
        result = o.simp(o.add(result, contribution));
      }
      return result;
    }
    case Series::Sin:
    case Series::Cos: {
      const bool sin = kind == Series::Sin;
      const V x2 = o.mul(x, x);
      V result = o.constant(sin ? 0 : 1), power = sin ? o.simp(x) : o.constant(1);
      int64_t sign = sin ? 1 : -1;
      for (int64_t n = sin ? 0 : 1; n < terms; ++n) {
        check_signals();
        const int64_t k = sin ? 2 * n + 1 : 2 * n;
        if (!sin || n > 0) {
          times(c, (k - 1) * k);
          power = o.simp(o.mul(power, x2));
        }
        V contribution = o.simp(o.mul(power, o.constant(small(sign), c)));
        result = o.simp(o.add(result, contribution));
        sign = -sign;
      }
      return result;
    }
    case Series::Log1p: {
      V result = o.constant(0), power = o.simp(x);
      int64_t sign = 1;
      for (int64_t n = 1; n <= terms; ++n) {
        check_signals();
        V contribution = o.simp(o.mul(power, o.constant(small(sign), small(n))));
        result = o.simp(o.add(result, contribution));
        power = o.simp(o.mul(power, x));  // advanced after its use, also after the last term
        sign = -sign;
      }
      return result;
    }
    case Series::Sqrt: {
      const V one = o.constant(1);
      const V y = o.sub(x, one);
      V result = o.simp(one), power = o.simp(one);
      SBig cd = small(1);
      for (int64_t n = 1; n < terms; ++n) {
        check_signals();
        times(c, 3 - 2 * n);
        times(cd, 2 * n);
        exact::reduce_fraction(c, cd);
        power = o.simp(o.mul(power, y));
        V term = o.simp(o.mul(power, o.constant(c, cd)));
        result = o.simp(o.add(result, term));
      }
      return result;
    }
  }
  return o.constant(0);
}

struct RecordOps {
  using V = py::object;
  const Frame& f;
  V mul(const V& a, const V& b) const { return op(FieldOp::Mul, a, b); }
  V add(const V& a, const V& b) const { return op(FieldOp::Add, a, b); }
  V sub(const V& a, const V& b) const { return op(FieldOp::Sub, a, b); }
  V simp(const V& a) const { return record::simplified(a); }
  V constant(const SBig& n, const SBig& d) const { return f.constant(n, d); }
  V constant(int64_t v) const { return f.constant(v); }
};

struct Q {
  SBig n, d;
};

struct FractionOps {
  using V = Q;
  static void held(const Q& q) {
    if (!exact::fits(q.n) || !exact::fits(q.d)) record::raise_range_error("an intermediate of the series");
  }
  V mul(V a, const V& b) const {
    if (!exact::mul_lowest(a.n, a.d, b.n, b.d)) record::raise_range_error("an intermediate of the series");
    held(a);
    return a;
  }
  V add(V a, const V& b) const {
    exact::add_lowest(a.n, a.d, b.n, b.d);
    held(a);
    return a;
  }
  V sub(const V& a, const V& b) const { return add(a, Q{SBig{b.n.mag, !b.n.neg && !b.n.mag.is_zero()}, b.d}); }
  V simp(const V& a) const { return a; }
  V constant(const SBig& n, const SBig& d) const { return Q{n, d}; }
  V constant(int64_t v) const { return Q{small(v), small(1)}; }
};

// The input as one exact fraction with a non-zero denominator, or false.
bool scalar_value(const Frame& f, Q& x) {
  Record& r = record::as_record(f.x);
  if (r.elements() != 1) return false;
  const record::HostValues h = record::host_values(r);
  x = Q{h.num(0), h.den(0)};
  if (x.d.mag.is_zero()) return false;
  exact::reduce_fraction(x.n, x.d);
  return true;
}

template <Series kind>
py::object series(py::handle, const python::Args& a) {
  const int64_t terms = terms_arg(a[1]);
  Frame f = frame_of(a[0]);
  Q x;
  if (scalar_value(f, x)) {
    const Q r = run_series(kind, FractionOps{}, x, terms);
    return record::fill_record(record::record_type(), r.n, r.d, f.shape, f.device, record::true_divide(r.n, r.d));
  }
  return run_series(kind, RecordOps{f}, f.x, terms);
}


// ---------------------------------------------------------------- Newton square root


// The exact value of a one-element record in lowest terms, denominator non-negative.
Q exact_scalar(Record& r) {
  const record::HostValues h = record::host_values(r);
  Q q{h.num(0), h.den(0)};
  exact::reduce_fraction(q.n, q.d);
  return q;
}

// The leading 53 bits of x as a double, and the power of two they stand for: x ~ m * 2^e.
double leading_bits(const UBig& x, int& e) {
  UBig top = x;
  const int drop = std::max(x.bit_length() - 53, 0);
  exact::ubig_shr(top, drop);
  e = drop;
  return (double)top.w[0];
}

// The first Newton iterate: round(sqrt(float32(a)) * 2^30) / 2^30 wherever that is a positive
// finite number. Where the float32 image is 0 or infinite (or the start would round to 0) the
// same thirty bits are taken relative to sqrt(a), read off the exact value: M * 2^(h - 30) for
// a ~ r * 2^(2h) with r in [1/2, 2).
py::object newton_start(Record& a, const Q& value, const at::Device& dev) {
  const double a_float = record::float_image(a).item<double>();
  const double scaled = std::sqrt(a_float) * 1073741824.0;
  const double root = std::nearbyint(scaled);  // ties to even, as round() does
  if (std::isfinite(scaled) && root > 0) {
    SBig x0;
    python::int_to_sbig(py::reinterpret_steal<py::object>(PyLong_FromDouble(root)), x0);
    return record::fill_record(record::record_type(), x0, small(1073741824), {}, dev, root / 1073741824.0);
  }
  int en, ed;
  const double nm = leading_bits(value.n.mag, en), dm = leading_bits(value.d.mag, ed);
  int e;
  double ratio = std::frexp(nm / dm, &e);  // a = ratio * 2^(e + en - ed), ratio in [1/2, 1)
  e += en - ed;
  if (e % 2 != 0) {
    ratio *= 2;
    e -= 1;
  }
  const int h = e / 2;
  const SBig m = small((int64_t)std::nearbyint(std::sqrt(ratio) * 1073741824.0));
  SBig pow2 = small(1);
  exact::ubig_shl(pow2.mag, std::abs(h - 30));
  SBig n = m, d = small(1);
  if (h >= 30) exact::sbig_mul(n, m, pow2);
  else d = pow2;
  return record::fill_record(record::record_type(), n, d, {}, dev, std::ldexp(std::sqrt(ratio), h));
}

py::object newton(py::handle a_obj, int64_t max_iterations, int64_t max_bits) {
  py::getattr(a_obj, "device");
  if (!record::is_record(a_obj)) python::raise_type_error("expected a ModularTensor, got " + python::type_name(a_obj));
  Record& a = record::as_record(a_obj);
  if (a.elements() != 1) record::float_image(a).item<double>();  // PyTorch's error for a non-scalar
  // Decided on the exact value: a zero denominator reads as inf or nan and has no root either.
  const Q value = exact_scalar(a);
  if (value.d.mag.is_zero() || value.n.neg || value.n.mag.is_zero())
    python::raise_value_error("sqrt requires positive value");
  const at::Device dev = a.num.device();
  py::object x = newton_start(a, value, dev);
  py::object two = record::fill_record(record::record_type(), small(2), small(1), {}, dev, 2.0);
  py::object a_ref = py::reinterpret_borrow<py::object>(a_obj);
  Q last{};
  bool have_last = false;
  for (int64_t it = 0; it < max_iterations; ++it) {
    check_signals();
    py::object x_new = simp(op(FieldOp::Div, op(FieldOp::Add, x, op(FieldOp::Div, a_ref, x)), two));
    Record& xn = record::as_record(x_new);
    // Only a one-element iterate has a rational to measure; anything else ends the iteration.
    if (!record::is_one_element(xn)) return x;
    const Q q = exact_scalar(xn);
    if (q.n.mag.bit_length() + q.d.mag.bit_length() > max_bits) return x;
    x = x_new;
    // A repeated iterate repeats for ever: the remaining steps cannot change the result.
    const bool same = have_last && q.n.neg == last.n.neg && exact::ubig_cmp(q.n.mag, last.n.mag) == 0 &&
                      exact::ubig_cmp(q.d.mag, last.d.mag) == 0;
    if (same) return x;
    last = q;
    have_last = true;
  }
  return x;
}

// The root of a sum of squares or a variance, which is 0 for zero data as in PyTorch.
py::object root_or_zero(const py::object& v) {
  Record& r = record::as_record(v);
  if (r.elements() == 1) {
    const Q q = exact_scalar(r);
    if (q.n.mag.is_zero() && !q.d.mag.is_zero())
      return record::fill_record(record::record_type(), small(0), small(1), {}, r.num.device(), 0.0);
  }
  return newton(v, 10, 500);
}

int64_t int64_arg(py::handle v, const char* name) {
  py::object t = python::coerce_int(v, name);
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(t.ptr(), &overflow);
  if (overflow) return overflow < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  return n;
}

py::object f_sqrt_newton(py::handle, const python::Args& a) {
  const int64_t iterations = int64_arg(a[1], "max_iterations");
  const int64_t bits = int64_arg(a[2], "max_bits");
  return newton(a[0], iterations, bits);
}

// ---------------------------------------------------------------- norms and statistics

py::object m_norm(py::handle self, const python::Args& a) {
  static py::handle two = (py::int_(2)).release();
  py::object p = python::coerce_int(a[0], "p");
  py::object me = py::reinterpret_borrow<py::object>(self);
  if (PyObject_RichCompareBool(p.ptr(), two.ptr(), Py_EQ) == 1) {
    py::object sum_sq = simp(reduce::total_record(record::as_record(mul(me, me))));
    return root_or_zero(sum_sq);
  }
  if (PyObject_RichCompareBool(p.ptr(), py::int_(1).ptr(), Py_EQ) == 1)
    return reduce::total_record(record::as_record(me.attr("abs")()));
  python::raise_value_error("Only L1 and L2 norms supported");
}

py::object variance(py::handle self, py::handle correction_obj) {
  py::object correction = python::coerce_int(correction_obj, "correction");
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

py::object m_var(py::handle self, const python::Args& a) {
  return variance(self, a[0]);
}

py::object m_std(py::handle self, const python::Args& a) {
  return root_or_zero(variance(self, a[0]));
}

}  // namespace

python::Exports register_approx(py::module_& m, py::handle cls) {
  using python::function;
  using python::method;
  static const python::Def members[] = {
      function<series<Series::Exp>>("exp_taylor", {{"x"}, {"terms", "20"}},
                                    "Compute e^x using Taylor series with exact coefficients. e^x = 1 + x + x^2/2! + "
                                    "x^3/3! + ... Returns ModularTensor (same shape as input)"),
      function<series<Series::Sin>>("sin_taylor", {{"x"}, {"terms", "20"}},
                                    "Compute sin(x) using Taylor series. sin(x) = x - x^3/3! + x^5/5! - ... Returns "
                                    "ModularTensor (same shape as input)"),
      function<series<Series::Cos>>("cos_taylor", {{"x"}, {"terms", "20"}},
                                    "Compute cos(x) using Taylor series. cos(x) = 1 - x^2/2! + x^4/4! - ... Returns "
                                    "ModularTensor (same shape as input)"),
      function<series<Series::Log1p>>("log1p_taylor", {{"x"}, {"terms", "30"}},
                                      "Compute log(1+x) using Taylor series. log(1+x) = x - x^2/2 + x^3/3 - x^4/4 + "
                                      "... Converges for |x| < 1. Returns ModularTensor (same shape as input)"),
      function<series<Series::Sqrt>>("sqrt_taylor", {{"a"}, {"terms", "30"}},
                                     "Compute sqrt(a) using binomial series around a=1. sqrt(1+x) = 1 + x/2 - x^2/8 + "
                                     "x^3/16 - ... Only works for a close to 1 (|a-1| < 1). Returns ModularTensor "
                                     "(same shape as input)"),
      function<f_sqrt_newton>("sqrt_newton", {{"a"}, {"max_iterations", "10"}, {"max_bits", "500"}},
                              "Compute sqrt(a) using Newton-Raphson iteration. x_{n+1} = (x_n + a/x_n) / 2 Works for "
                              "any positive value. Args: a: Input ModularTensor (scalar, a > 0) max_iterations: "
                              "Maximum number of iterations max_bits: Maximum bit size before stopping (prevents "
                              "overflow) Returns: ModularTensor approximating sqrt(a)"),
      method<m_norm>("norm", {{"p", "2"}},
                     "Compute Lp norm. For p=2, returns sqrt(sum(x^2)). Note: sqrt is approximated using Newton "
                     "iteration."),
      method<m_var>("var", {{"correction", "1"}},
                    "Exact variance: sum((x - mean)^2) / (n - correction) Uses the formula: var = E[x^2] - E[x]^2"),
      method<m_std>("std", {{"correction", "1"}},
                    "Exact standard deviation: sqrt(var). Note: sqrt is approximated using Newton iteration."),
  };
  return python::install(cls, m, members);
}

}  // namespace korvex::approx
