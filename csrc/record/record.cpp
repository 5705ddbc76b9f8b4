#include "record/record.h"

#include <torch/csrc/Device.h>
#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/device_lazy_init.h>
#include <torch/csrc/utils/pybind.h>

#include <atomic>
#include <limits>
#include <map>
#include <string>

#include "exact/crt.h"
#include "kernels/exact_jobs.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"
#include "record/pool.h"

namespace korvex::record {

using exact::kPrimes;
using exact::SBig;

static PyObject* g_record_type = nullptr;

py::handle record_type() { return g_record_type; }
void set_record_type(py::handle cls) {
  g_record_type = cls.ptr();
  Py_INCREF(g_record_type);
}

bool is_record(py::handle obj) { return PyObject_TypeCheck(obj.ptr(), (PyTypeObject*)g_record_type); }

namespace {

// An instance made by __new__ alone has no C++ record behind it yet: pybind allocates the
// holder only when __init__ runs.
py::detail::value_and_holder holder_of(py::handle obj) {
  auto* inst = reinterpret_cast<py::detail::instance*>(obj.ptr());
  return inst->get_value_and_holder(py::detail::get_type_info(typeid(Record)));
}

[[noreturn]] void raise_unset(py::handle obj, const char* slot) {
  python::raise_format(PyExc_AttributeError, "'%.200s' object has no attribute '%.50s'",
                       python::type_name(obj).c_str(), slot);
}

// The record for reading one slot; null when the instance has none.
Record* record_or_null(py::handle obj) {
  if (!is_record(obj)) python::raise_type_error("expected a ModularTensor, got " + python::type_name(obj));
  py::detail::value_and_holder vh = holder_of(obj);
  if (!vh.holder_constructed() || !vh.value_ptr()) return nullptr;
  return vh.template value_ptr<Record>();
}

// The record for writing a slot: an instance made by __new__ gets an empty one, as a plain
// class's instance gets its slots on first assignment.
Record& record_for_write(py::handle obj) {
  if (Record* r = record_or_null(obj)) return *r;
  py::detail::value_and_holder vh = holder_of(obj);
  vh.value_ptr() = new Record();
  vh.type->init_instance(vh.inst, nullptr);
  return *vh.template value_ptr<Record>();
}

bool version_of(const at::Tensor& t, std::uint32_t& v) {
  // Inference tensors keep no version counter: a bound on them is never trusted twice.
  if (!t.defined() || t.is_inference()) return false;
  v = (std::uint32_t)t._version();
  return true;
}

}  // namespace

void Record::set_bits(int nb, int db) {
  num_bits = nb;
  den_bits = db;
  version_of(num, num_version);
  version_of(denom, den_version);
}

bool Record::bits_known() const {
  if (num_bits < 0 || den_bits < 0) return false;
  std::uint32_t a, b;
  return version_of(num, a) && version_of(denom, b) && a == num_version && b == den_version;
}

Record& as_record(py::handle obj) {
  Record* r = record_or_null(obj);
  if (!r || !r->num.defined()) raise_unset(obj, "num");
  if (!r->denom.defined()) raise_unset(obj, "denom");
  r->forget_stale_bits();
  return *r;
}

int64_t element_count(c10::IntArrayRef shape) {
  constexpr uint64_t kMaxCount = std::numeric_limits<size_t>::max() / (sizeof(int64_t) * kPrimes);
  uint64_t count = 1;
  for (int64_t s : shape) {
    if (s < 0) continue;  // refused with PyTorch's message by whoever allocates
    if (s != 0 && count > kMaxCount / (uint64_t)s) throw std::bad_alloc();
    count *= (uint64_t)s;
  }
  for (int64_t s : shape)
    if (s == 0) return 0;
  return (int64_t)count;
}

// Keyed by the device's text; leaked on purpose, tensors must outlive interpreter shutdown.
static std::map<std::string, at::Tensor>& shown_primes() {
  static auto* cache = new std::map<std::string, at::Tensor>();
  return *cache;
}

const at::Tensor& record_primes_on(const at::Device& device) {
  auto& cache = shown_primes();
  const std::string key = device.str();
  auto it = cache.find(key);
  if (it != cache.end()) return it->second;
  at::Tensor t = primes_tensor().to(device, /*non_blocking=*/false, /*copy=*/true);
  return cache.emplace(key, t).first->second;
}

py::object device_object(const at::Device& device) {
  static auto* cache = new std::map<std::string, PyObject*>();
  const std::string key = device.str();
  auto it = cache->find(key);
  if (it == cache->end()) {
    PyObject* d = THPDevice_New(device);
    if (!d) throw py::error_already_set();
    it = cache->emplace(key, d).first;
  }
  return py::reinterpret_borrow<py::object>(it->second);
}

at::Device parse_device(const std::string& device) {
  at::Device d(device);
  if (d.type() != at::kCPU && d.type() != at::kMeta) torch::utils::device_lazy_init(d.type());
  return d;
}

py::object make_record(at::Tensor num, at::Tensor den, py::object approx, int num_bits, int den_bits) {
  Record r;
  const at::Device dev = num.device();
  r.primes = record_primes_on(dev);
  r.device = device_object(dev);
  r.num = std::move(num);
  r.denom = std::move(den);
  r.approx = approx ? std::move(approx) : py::none();
  r.set_bits(num_bits, den_bits);
  return py::cast(std::move(r));
}

at::Tensor host_residues(const at::Tensor& t) {
  return t.to(at::kCPU).contiguous().view({kPrimes, -1});
}

void raise_range_error(const char* what) {
  python::raise_overflow_error(std::string(what) +
                               " exceeds the exact range of the moduli (|integer| <= (M - 1)/2, about 2**619)");
}

// The shared moduli tensor of records on `device` is trusted while nothing was written to
// it; any other moduli tensor is read and compared.
static bool moduli_are_primes(Record& r) {
  const at::Tensor& primes = r.primes;
  if (!primes.defined()) return false;
  const at::Tensor& shared = record_primes_on(primes.device());
  if (primes.is_same(shared) && !shared.is_inference() && shared._version() == 0) return true;
  // A caller's own moduli tensor is read once per version, not once per operation.
  std::uint32_t v = 0;
  const bool tracked = version_of(primes, v);
  if (tracked && r.primes_checked == primes.unsafeGetTensorImpl() && r.primes_version == v) return true;
  if (primes.scalar_type() != at::kLong || primes.numel() != kPrimes) return false;
  const at::Tensor host = primes.to(at::kCPU).contiguous().view({kPrimes});
  for (int j = 0; j < kPrimes; ++j)
    if (host.data_ptr<int64_t>()[j] != exact::kModuli[j]) {
      // Written through some record's slot: later records get an untouched copy.
      if (primes.is_same(shared)) shown_primes().erase(primes.device().str());
      return false;
    }
  if (tracked) {
    r.primes_checked = primes.unsafeGetTensorImpl();
    r.primes_version = v;
  }
  return true;
}

void check_layout(Record& r) {
  if (r.num.scalar_type() != at::kLong || r.denom.scalar_type() != at::kLong)
    python::raise_value_error("residue tensors must be int64");
  if (!(r.num.sizes() == r.denom.sizes() && r.num.dim() >= 1 && r.num.size(0) == kPrimes))
    python::raise_value_error("num and denom must both have shape [N_PRIMES, *shape]");
  if (r.num.device() != r.denom.device()) python::raise_value_error("num and denom must be on the same device");
  element_count(r.shape());
  if (!moduli_are_primes(r)) python::raise_value_error("the record's moduli are not PRIMES");
}

[[noreturn]] static void raise_noncanonical() {
  python::raise_value_error("residues must lie in [0, p) for the prime of their row");
}

void ensure_bits(Record& r) {
  check_layout(r);
  if (r.bits_known()) return;
  kernels::Measured m;
  {
    py::gil_scoped_release nogil;
#ifdef KORVEX_WITH_CUDA
    if (kernels::launcher_for(r.num.device()) == kernels::Launcher::Cuda) {
      m = kernels::measure_cuda(r.num.reshape({kPrimes, -1}).contiguous(), r.denom.reshape({kPrimes, -1}).contiguous());
    } else
#endif
    {
      // Every other device measures a host copy with the CPU launcher.
      m = kernels::measure_cpu(host_residues(r.num), host_residues(r.denom));
    }
  }
  if (!m.canonical) raise_noncanonical();
  r.set_bits(m.num_bits, m.den_bits);
}

double true_divide(const SBig& n, const SBig& d) {
  const int nb = n.mag.bit_length(), db = d.mag.bit_length();
  if (nb <= 53 && db <= 53 && db > 0) {
    // Both exact as doubles, so one IEEE division is the correctly rounded quotient.
    double a = nb ? (double)n.mag.w[0] : 0.0, b = (double)d.mag.w[0];
    return (n.neg ? -a : a) / (d.neg ? -b : b);
  }
  py::object q = py::reinterpret_steal<py::object>(
      PyNumber_TrueDivide(python::sbig_to_int(n).ptr(), python::sbig_to_int(d).ptr()));
  if (!q) throw py::error_already_set();
  return PyFloat_AsDouble(q.ptr());
}

static at::Tensor filled_residues(const SBig& x, const std::vector<int64_t>& shape, const at::Device& device) {
  int64_t res[kPrimes];
  exact::residues_of(x, res, 1);
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
  for (int64_t s : shape)
    if (s < 0)
      python::raise_runtime_error(
          c10::str("Trying to create tensor with negative dimension ", s, ": ", c10::IntArrayRef(shape)));
  at::Tensor num = filled_residues(n, shape, device);
  at::Tensor den = filled_residues(d, shape, device);
  // A value beyond the float32 range gets an infinite hint rather than a conversion error.
  at::Tensor hint = at::full(shape, (double)(float)approx, at::TensorOptions().dtype(at::kFloat).device(device));
  const int nb = n.mag.bit_length(), db = d.mag.bit_length();
  if (cls.ptr() == g_record_type) return make_record(num, den, py::cast(hint), nb, db);
  py::object obj = py::reinterpret_borrow<py::object>(cls)(num, den, record_primes_on(device), hint);
  if (is_record(obj)) {
    Record& r = as_record(obj);
    if (r.num.is_same(num) && r.denom.is_same(den)) {
      r.set_bits(nb, db);
    }
  }
  return obj;
}

// ---------------------------------------------------------------- constructors

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
  return from_parts(g_record_type, v, one, py::tuple(py::cast(shape)), py::str(device.str()));
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

// ---------------------------------------------------------------- read-back

static bool is_one_element(const Record& r) {
  return r.num.dim() == 1 || (r.num.dim() == 2 && r.num.size(1) == 1);
}

// Exact value of a one-element record in lowest terms (n/0 -> (+-1, 0), 0/0 -> (0, 0)).
static void rational_of(Record& r, SBig& n, SBig& d) {
  ensure_bits(r);
  at::Tensor hn = host_residues(r.num), hd = host_residues(r.denom);
  n = exact::crt_signed(hn.data_ptr<int64_t>(), 1);
  d = exact::crt_signed(hd.data_ptr<int64_t>(), 1);
  exact::reduce_fraction(n, d);
}

static py::object m_to_rational(py::handle self, const python::Args&) {
  Record& r = as_record(self);
  if (!is_one_element(r)) python::raise_value_error("to_rational() only works for scalar tensors");
  SBig n, d;
  rational_of(r, n, d);
  return py::make_tuple(python::sbig_to_int(n), python::sbig_to_int(d));
}

static py::object m_to_decimal(py::handle self, const python::Args&) {
  py::module_ decimal = py::module_::import("decimal");
  decimal.attr("getcontext")().attr("prec") = 100;
  py::tuple nd = m_to_rational(self, python::Args{});
  py::object D = decimal.attr("Decimal");
  return D(nd[0]).attr("__truediv__")(D(nd[1]));
}

static py::object m_simplify(py::handle self, const python::Args&) {
  return simplified(self);
}

py::object simplified(py::handle self) {
  Record& r = as_record(self);
  if (!is_one_element(r)) return py::reinterpret_borrow<py::object>(self);
  SBig n, d;
  rational_of(r, n, d);
  // A zero denominator has no lowest terms to rebuild; the record stays as it is.
  if (d.mag.is_zero()) return py::reinterpret_borrow<py::object>(self);
  return fill_record(g_record_type, n, d, r.shape(), r.num.device(), true_divide(n, d));
}

static py::object m_repr(py::handle self, const python::Args&) {
  py::object shape = self.attr("shape"), device = self.attr("device");
  return py::str("ModularTensor(shape={}, device={})").format(shape, device);
}

// ---------------------------------------------------------------- the class

static at::Tensor tensor_arg(py::handle v, const char* name) {
  if (!THPVariable_Check(v.ptr())) {
    py::getattr(v, "device");  // what a plain attribute read would raise first
    python::raise_type_error(std::string(name) + " must be a torch.Tensor, got " + python::type_name(v));
  }
  return THPVariable_Unpack(v.ptr());
}

static const char* kClassDoc =
    "GPU tensor with exact modular arithmetic. Each element is stored as (num_residues, "
    "denom_residues) across N primes. Shape: [N_PRIMES, *original_shape] for both num and denom. "
    "All operations are element-wise and fully parallel.";

static const char* kInitDoc =
    "Initialize from residue tensors. Args: num: [N_PRIMES, *shape] int64 tensor of numerator "
    "residues denom: [N_PRIMES, *shape] int64 tensor of denominator residues primes: [N_PRIMES] "
    "tensor of primes approx: [*shape] float tensor for display (optional)";

// The constructor as a plain method, so that it has a signature and a subclass's __init__ can
// call it; re-running it on a record starts that record afresh.
static py::object m_init(py::handle self, const python::Args& a) {
  py::handle num = a[0], denom = a[1], primes = a[2];
  Record r;
  r.num = tensor_arg(num, "num");
  r.denom = tensor_arg(denom, "denom");
  r.device = num.attr("device");
  py::object p = primes.is_none() ? py::cast(record_primes_on(r.num.device())) : primes.attr("to")(r.device);
  r.primes = tensor_arg(p, "primes");
  r.approx = py::reinterpret_borrow<py::object>(a[3]);
  record_for_write(self) = std::move(r);
  return py::none();
}

py::handle register_record(py::module_& m) {
  static const std::string doc = std::string("ModularTensor(num, denom, primes=None, approx=None)\n--\n\n") + kClassDoc;
  py::class_<Record> cls(m, "ModularTensor", doc.c_str());
  set_record_type(cls);
  // Replacing a residue tensor invalidates what is known about the sizes it holds.
  auto tensor_slot = [&](const char* name, at::Tensor Record::*slot) {
    cls.def_property(
        name,
        [name, slot](py::handle self) {
          Record* r = record_or_null(self);
          if (!r || !(r->*slot).defined()) raise_unset(self, name);
          return r->*slot;
        },
        [name, slot](py::handle self, py::object v) {
          at::Tensor t = tensor_arg(v, name);
          Record& r = record_for_write(self);
          r.*slot = std::move(t);
          r.num_bits = r.den_bits = kUnknownBits;
          r.primes_checked = nullptr;
        });
  };
  tensor_slot("num", &Record::num);
  tensor_slot("denom", &Record::denom);
  tensor_slot("primes", &Record::primes);
  auto object_slot = [&](const char* name, py::object Record::*slot) {
    cls.def_property(
        name,
        [name, slot](py::handle self) {
          Record* r = record_or_null(self);
          if (!r || !(r->*slot)) raise_unset(self, name);
          return r->*slot;
        },
        [slot](py::handle self, py::object v) { record_for_write(self).*slot = std::move(v); });
  };
  object_slot("device", &Record::device);
  object_slot("_approx", &Record::approx);
  static py::handle size_type = py::object(py::module_::import("torch").attr("Size")).release();
  cls.def_property_readonly("shape", [](py::handle self) {
    Record* r = record_or_null(self);
    if (!r || !r->num.defined()) raise_unset(self, "num");
    return size_type(r->shape());
  });

  static const python::Def members[] = {
      python::method<m_init>("__init__", {{"num"}, {"denom"}, {"primes", "None"}, {"approx", "None"}}, kInitDoc),
      python::classmethod<m_from_fraction>("from_fraction",
                                           {{"num"}, {"denom", "1"}, {"shape", "()"}, {"device", "'cuda'"}},
                                           "Create tensor filled with exact fraction num/denom."),
      python::classmethod<m_from_int>("from_int", {{"value"}, {"shape", "()"}, {"device", "'cuda'"}},
                                      "Create tensor filled with exact integer."),
      python::classmethod<m_filled<0>>("zeros", {{"shape"}, {"device", "'cuda'"}}, "Create zero tensor."),
      python::classmethod<m_filled<1>>("ones", {{"shape"}, {"device", "'cuda'"}}, "Create ones tensor."),
      python::method<m_simplify>("simplify", {},
                                 "Simplify the fraction by reconstructing from rational form. Returns a new "
                                 "ModularTensor with minimal residues. This is essential after accumulation to "
                                 "prevent residue overflow."),
      python::method<m_to_rational>("to_rational", {},
                                    "Reconstruct the exact rational number using CRT. Returns (numerator, "
                                    "denominator) as Python integers. Only works for scalar tensors."),
      python::method<m_to_decimal>("to_decimal", {}, "Convert to Decimal for exact display. Only works for scalar tensors."),
      python::method<m_repr>("__repr__", {}, nullptr),
  };
  python::install(cls, members);
  return cls;
}

}  // namespace korvex::record
