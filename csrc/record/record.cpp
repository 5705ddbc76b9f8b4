#include "record/record.h"

#include <torch/csrc/Device.h>
#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/device_lazy_init.h>
#include <torch/csrc/utils/pybind.h>

#include <limits>
#include <map>
#include <string>

#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"
#include "record/members.h"
#include "record/pool.h"

namespace korvex::record {

using exact::kPrimes;

static PyObject* g_record_type = nullptr;

py::handle record_type() { return g_record_type; }
void set_record_type(py::handle cls) {
  g_record_type = cls.ptr();
  Py_INCREF(g_record_type);
}

bool is_record(py::handle obj) { return PyObject_TypeCheck(obj.ptr(), (PyTypeObject*)g_record_type); }

namespace {

// pybind11 finds a class's type record by hashing the name of its C++ type; the class is
// registered once at import and never goes away.
const py::detail::type_info* record_type_info() {
  static const py::detail::type_info* info = py::detail::get_type_info(typeid(Record));
  return info;
}

// An instance made by __new__ alone has no C++ record behind it yet: pybind allocates the
// holder only when __init__ runs.
py::detail::value_and_holder holder_of(py::handle obj) {
  auto* inst = reinterpret_cast<py::detail::instance*>(obj.ptr());
  return inst->get_value_and_holder(record_type_info());
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

}  // namespace

void Record::set_bits(int nb, int db) {
  num_bits = nb;
  den_bits = db;
  tensor_version(num, num_version);
  tensor_version(denom, den_version);
}

bool Record::bits_known() const {
  if (num_bits < 0 || den_bits < 0) return false;
  std::uint32_t a, b;
  return tensor_version(num, a) && tensor_version(denom, b) && a == num_version && b == den_version;
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

py::object device_object(const at::Device& device) {
  static auto* cache = new std::map<std::pair<int, int>, PyObject*>();
  const std::pair<int, int> key{(int)device.type(), (int)device.index()};
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

const py::object& Record::hint() const {
  if (hint_pending_) {
    at::Tensor t = empty_host(std::vector<int64_t>(hint_dims_, 1), at::kFloat);
    *t.data_ptr<float>() = hint_value_;
    approx_ = py::cast(std::move(t));
    hint_pending_ = false;
  }
  return approx_;
}

static py::object wrap_record(Record& r, at::Tensor num, at::Tensor den, int num_bits, int den_bits) {
  const at::Device dev = num.device();
  r.primes = record_primes_on(dev);
  r.device = device_object(dev);
  r.num = std::move(num);
  r.denom = std::move(den);
  r.set_bits(num_bits, den_bits);
  auto move = [](const void* p) -> void* { return new Record(std::move(*const_cast<Record*>(static_cast<const Record*>(p)))); };
  return py::reinterpret_steal<py::object>(py::detail::type_caster_generic::cast(
      &r, py::return_value_policy::move, py::handle(), record_type_info(), nullptr, move));
}

py::object make_record(at::Tensor num, at::Tensor den, py::object approx, int num_bits, int den_bits) {
  Record r;
  r.set_hint(approx ? std::move(approx) : py::none());
  return wrap_record(r, std::move(num), std::move(den), num_bits, den_bits);
}

py::object make_record(at::Tensor num, at::Tensor den, float hint, int hint_dims, int num_bits, int den_bits) {
  Record r;
  r.set_pending_hint(hint, hint_dims);
  return wrap_record(r, std::move(num), std::move(den), num_bits, den_bits);
}

at::Tensor host_residues(const at::Tensor& t) {
  return t.to(at::kCPU).contiguous().view({kPrimes, -1});
}

void raise_range_error(const char* what) {
  python::raise_overflow_error(std::string(what) +
                               " exceeds the exact range of the moduli (|integer| <= (M - 1)/2, about 2**619)");
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
  r.set_hint(py::reinterpret_borrow<py::object>(a[3]));
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
  cls.def_property(
      "_approx",
      [](py::handle self) {
        Record* r = record_or_null(self);
        if (!r || !r->hint()) raise_unset(self, "_approx");
        return r->hint();
      },
      [](py::handle self, py::object v) { record_for_write(self).set_hint(std::move(v)); });
  static py::handle size_type = py::object(py::module_::import("torch").attr("Size")).release();
  cls.def_property_readonly("shape", [](py::handle self) {
    Record* r = record_or_null(self);
    if (!r || !r->num.defined()) raise_unset(self, "num");
    return size_type(r->shape());
  });

  static const python::Def members[] = {
      python::method<m_init>("__init__", {{"num"}, {"denom"}, {"primes", "None"}, {"approx", "None"}}, kInitDoc),
  };
  python::install(cls, members);
  register_constructors(cls);
  register_readback(cls);
  return cls;
}

}  // namespace korvex::record
