// The constructors: records filled with one exact value, from Python integers.
#include <torch/csrc/utils/pybind.h>

#include "exact/crt.h"
#include "kernels/exact_elements.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"
#include "record/members.h"
#include "record/pool.h"

namespace korvex::record {

using exact::kPrimes;
using exact::SBig;

double true_divide(const SBig& n, const SBig& d) {
  const int nb = n.mag.bit_length(), db = d.mag.bit_length();
  if (nb <= 53 && db <= 53 && db > 0) {
    // Both exact as doubles, so one IEEE division is the correctly rounded quotient.
    double a = nb ? (double)n.mag.w[0] : 0.0, b = (double)d.mag.w[0];
    return (n.neg ? -a : a) / (d.neg ? -b : b);
  }
  // A non-zero quotient of two values of the range lies between 2^-618 and 2^618, where the
  // order key (rounded to 53 bits from 62 and a sticky bit) is the correctly rounded double.
  if (nb > 0 && db > 0 && nb <= exact::kFitBits && db <= exact::kFitBits) return kernels::key_image(n, d).key;
  py::object q = py::reinterpret_steal<py::object>(
      PyNumber_TrueDivide(python::sbig_to_int(n).ptr(), python::sbig_to_int(d).ptr()));
  if (!q) throw py::error_already_set();
  return PyFloat_AsDouble(q.ptr());
}

// Rows of `shape` elements, row j filled with res[j].
static at::Tensor filled_rows(const int64_t* res, const std::vector<int64_t>& shape, const at::Device& device) {
  std::vector<int64_t> full{kPrimes};
  full.insert(full.end(), shape.begin(), shape.end());
  at::Tensor out = empty_residues(full, at::kCPU);
  const int64_t per = out.numel() / kPrimes;
  int64_t* p = out.data_ptr<int64_t>();
  for (int j = 0; j < kPrimes; ++j) std::fill(p + j * per, p + (j + 1) * per, res[j]);
  return device.is_cpu() ? out : out.to(device);
}

py::object fill_record(py::handle cls, const SBig& n, const SBig& d, const std::vector<int64_t>& shape,
                       const at::Device& device, double approx) {
  int64_t rn[kPrimes], rd[kPrimes];
  exact::residues_of(n, rn, 1);
  exact::residues_of(d, rd, 1);
  return fill_record(cls, rn, rd, n.mag.bit_length(), d.mag.bit_length(), shape, device, approx);
}

py::object fill_record(py::handle cls, const int64_t* rn, const int64_t* rd, int nb, int db,
                       const std::vector<int64_t>& shape, const at::Device& device, double approx) {
  for (int64_t s : shape)
    if (s < 0)
      python::raise_runtime_error(
          c10::str("Trying to create tensor with negative dimension ", s, ": ", c10::IntArrayRef(shape)));
  at::Tensor num = filled_rows(rn, shape, device);
  at::Tensor den = filled_rows(rd, shape, device);
  if (cls.ptr() == record_type().ptr() && device.is_cpu() && num.numel() == kPrimes)
    return make_record(num, den, (float)approx, (int)shape.size(), nb, db);
  // A value beyond the float32 range gets an infinite hint rather than a conversion error.
  at::Tensor hint;
  if (device.is_cpu()) {
    hint = empty_host(shape, at::kFloat);
    std::fill_n(hint.data_ptr<float>(), hint.numel(), (float)approx);
  } else {
    hint = at::full(shape, (double)(float)approx, at::TensorOptions().dtype(at::kFloat).device(device));
  }
  if (cls.ptr() == record_type().ptr()) return make_record(num, den, py::cast(hint), nb, db);
  py::object obj = py::reinterpret_borrow<py::object>(cls)(num, den, record_primes_on(device), hint);
  if (is_record(obj)) {
    Record& r = as_record(obj);
    if (r.num.is_same(num) && r.denom.is_same(den)) {
      r.set_bits(nb, db);
    }
  }
  return obj;
}

// Sizes as torch.zeros takes them: ints and anything with __index__, in int64.
static std::vector<int64_t> shape_from_tuple(const py::tuple& t) {
  std::vector<int64_t> s;
  Py_ssize_t pos = 0;
  for (py::handle h : t) {
    if (PyFloat_Check(h.ptr()) || !PyIndex_Check(h.ptr())) {
      python::raise_format(PyExc_TypeError, "shape must be a tuple of ints, but found element of type %.200s at pos %zd",
                           python::type_name(h).c_str(), pos);
    }
    py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(h.ptr()));
    if (!i) throw py::error_already_set();
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow) throw std::bad_alloc();
    s.push_back(v);
    ++pos;
  }
  return s;
}

// The fraction num/den for from_fraction: documented residues when both fit, the reduced
// form when only that fits, OverflowError otherwise.
static void exact_fraction(py::handle num, py::handle den, SBig& n, SBig& d) {
  const bool n_ok = python::int_to_sbig(num, n), d_ok = python::int_to_sbig(den, d);
  if (n_ok && d_ok && exact::fits(n) && exact::fits(d)) return;
  static py::handle gcd = py::object(py::module_::import("math").attr("gcd")).release();
  py::object g = gcd(num, den);
  py::object rn = py::reinterpret_borrow<py::object>(num), rd = py::reinterpret_borrow<py::object>(den);
  if (PyObject_IsTrue(g.ptr())) {
    rn = rn.attr("__floordiv__")(g);
    rd = rd.attr("__floordiv__")(g);
  }
  if (PyObject_RichCompareBool(rd.ptr(), py::int_(0).ptr(), Py_LT) == 1) {
    rn = -rn;
    rd = -rd;
  }
  if (!python::int_to_sbig(rn, n) || !exact::fits(n)) raise_range_error("numerator");
  if (!python::int_to_sbig(rd, d) || !exact::fits(d)) raise_range_error("denominator");
}

static py::object from_parts(py::handle cls, py::handle num, py::handle den, py::handle shape_obj,
                             py::handle device_obj) {
  py::object n_int = python::coerce_int(num, "num");
  py::object d_int = python::coerce_int(den, "denom");
  py::tuple shape_t = python::coerce_tuple(shape_obj, "shape");
  const std::string dev_s = python::coerce_str(device_obj, "device");
  const at::Device device = parse_device(dev_s);
  primes_on(device);
  const std::vector<int64_t> shape = shape_from_tuple(shape_t);
  SBig n, d;
  exact_fraction(n_int, d_int, n, d);
  // Python's true division: correctly rounded, and the ZeroDivisionError for a zero denominator.
  py::object q = py::reinterpret_steal<py::object>(PyNumber_TrueDivide(n_int.ptr(), d_int.ptr()));
  if (!q) throw py::error_already_set();
  return fill_record(cls, n, d, shape, device, PyFloat_AsDouble(q.ptr()));
}

py::object number_record(py::handle number, const at::Device& device, const std::vector<int64_t>& shape) {
  py::object v = py::reinterpret_steal<py::object>(PyNumber_Long(number.ptr()));
  if (!v) throw py::error_already_set();
  static py::handle one = (py::int_(1)).release();
  return from_parts(record_type().ptr(), v, one, py::tuple(py::cast(shape)), py::str(device.str()));
}

static py::object m_from_fraction(py::handle cls, const python::Args& a) {
  return from_parts(cls, a[0], a[1], a[2], a[3]);
}

static py::object m_from_int(py::handle cls, const python::Args& a) {
  static py::handle one = (py::int_(1)).release();
  py::object v = python::coerce_int(a[0], "value");
  python::coerce_tuple(a[1], "shape");
  python::coerce_str(a[2], "device");
  return from_parts(cls, v, one, a[1], a[2]);
}

template <int kValue>
static py::object m_filled(py::handle cls, const python::Args& a) {
  static py::handle value = (py::int_(kValue)).release(), one = (py::int_(1)).release();
  python::coerce_tuple(a[0], "shape");
  python::coerce_str(a[1], "device");
  return from_parts(cls, value, one, a[0], a[1]);
}

void register_constructors(py::handle cls) {
  static const python::Def members[] = {
      python::classmethod<m_from_fraction>("from_fraction",
                                           {{"num"}, {"denom", "1"}, {"shape", "()"}, {"device", "'cuda'"}},
                                           "Create tensor filled with exact fraction num/denom."),
      python::classmethod<m_from_int>("from_int", {{"value"}, {"shape", "()"}, {"device", "'cuda'"}},
                                      "Create tensor filled with exact integer."),
      python::classmethod<m_filled<0>>("zeros", {{"shape"}, {"device", "'cuda'"}}, "Create zero tensor."),
      python::classmethod<m_filled<1>>("ones", {{"shape"}, {"device", "'cuda'"}}, "Create ones tensor."),
  };
  python::install(cls, members);
}

}  // namespace korvex::record
