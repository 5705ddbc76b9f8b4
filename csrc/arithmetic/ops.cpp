#include "arithmetic/ops.h"

#include <ATen/ExpandUtils.h>
#include <ATen/Parallel.h>
#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/pybind.h>

#include <atomic>
#include <cstring>

#include "exact/crt.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"
#include "record/pool.h"

namespace korvex::arithmetic {

using exact::kPrimes;
using exact::SBig;
using record::Record;

std::vector<int64_t> broadcast_shape(const Record& a, const Record& b) {
  return at::infer_size(a.shape(), b.shape());
}

static int64_t count_of(const std::vector<int64_t>& shape) { return record::element_count(shape); }

static at::Tensor stretch(const at::Tensor& t, const std::vector<int64_t>& shape) {
  at::Tensor v = t;
  while (v.dim() - 1 < (int64_t)shape.size()) v = v.unsqueeze(1);
  std::vector<int64_t> full{kPrimes};
  full.insert(full.end(), shape.begin(), shape.end());
  return v.expand(full).contiguous().view({kPrimes, count_of(shape)});
}

std::pair<at::Tensor, at::Tensor> expanded_residues(const Record& r, const std::vector<int64_t>& shape) {
  return {stretch(r.num, shape), stretch(r.denom, shape)};
}

// Kernel operands: full rows, or a single value per prime when the record has one element.
std::pair<at::Tensor, at::Tensor> kernel_operand(const Record& r, const std::vector<int64_t>& shape) {
  if (r.shape() == shape)
    return {r.num.reshape({kPrimes, -1}).contiguous(), r.denom.reshape({kPrimes, -1}).contiguous()};
  if (r.elements() == 1) return {r.num.reshape({kPrimes}).contiguous(), r.denom.reshape({kPrimes}).contiguous()};
  return expanded_residues(r, shape);
}

static void bound_of(FieldOp op, const Record& a, const Record& b, int& nb, int& db) {
  switch (op) {
    case FieldOp::Add:
    case FieldOp::Sub:
      nb = std::max(a.num_bits + b.den_bits, a.den_bits + b.num_bits) + 1;
      db = a.den_bits + b.den_bits;
      break;
    case FieldOp::Mul:
      nb = a.num_bits + b.num_bits;
      db = a.den_bits + b.den_bits;
      break;
    case FieldOp::Div:
      nb = a.num_bits + b.den_bits;
      db = a.den_bits + b.num_bits;
      break;
  }
}

// Exact evaluation of every element on the host, for results the bound cannot vouch for.
static std::pair<at::Tensor, at::Tensor> field_op_exact(FieldOp op, const Record& a, const Record& b,
                                                        const std::vector<int64_t>& shape, int& nb, int& db) {
  const int64_t n = count_of(shape);
  auto [an_d, ad_d] = expanded_residues(a, shape);
  auto [bn_d, bd_d] = expanded_residues(b, shape);
  at::Tensor an = an_d.cpu(), ad = ad_d.cpu(), bn = bn_d.cpu(), bd = bd_d.cpu();
  at::Tensor on = at::empty({kPrimes, n}, an.options()), od = at::empty({kPrimes, n}, an.options());
  const int64_t *pan = an.data_ptr<int64_t>(), *pad = ad.data_ptr<int64_t>();
  const int64_t *pbn = bn.data_ptr<int64_t>(), *pbd = bd.data_ptr<int64_t>();
  int64_t *pon = on.data_ptr<int64_t>(), *pod = od.data_ptr<int64_t>();
  std::atomic<int> mnb{0}, mdb{0};
  std::atomic<bool> overflow{false};
  {
    py::gil_scoped_release nogil;
    at::parallel_for(0, n, 64, [&](int64_t begin, int64_t end) {
      int lnb = 0, ldb = 0;
      for (int64_t k = begin; k < end && !overflow; ++k) {
        const SBig x = exact::crt_signed(pan + k, n), y = exact::crt_signed(pad + k, n);
        const SBig u = exact::crt_signed(pbn + k, n), v = exact::crt_signed(pbd + k, n);
        SBig rn, rd, t1, t2;
        switch (op) {
          case FieldOp::Add:
          case FieldOp::Sub:
            exact::sbig_mul(t1, x, v);
            exact::sbig_mul(t2, y, u);
            exact::sbig_add(rn, t1, t2, op == FieldOp::Sub);
            exact::sbig_mul(rd, y, v);
            break;
          case FieldOp::Mul:
            exact::sbig_mul(rn, x, u);
            exact::sbig_mul(rd, y, v);
            break;
          case FieldOp::Div:
            exact::sbig_mul(rn, x, v);
            exact::sbig_mul(rd, y, u);
            break;
        }
        // The unreduced result where it fits (the residues the kernels would give), else
        // lowest terms.
        if (!exact::fits(rn) || !exact::fits(rd)) {
          exact::reduce_fraction(rn, rd);
          if (!exact::fits(rn) || !exact::fits(rd)) {
            overflow = true;
            break;
          }
        }
        exact::residues_of(rn, pon + k, n);
        exact::residues_of(rd, pod + k, n);
        lnb = std::max(lnb, rn.mag.bit_length());
        ldb = std::max(ldb, rd.mag.bit_length());
      }
      exact::atomic_max(mnb, lnb);
      exact::atomic_max(mdb, ldb);
    });
  }
  if (overflow) record::raise_range_error("the exact result");
  nb = mnb.load();
  db = mdb.load();
  const at::Device dev = a.num.device();
  return {dev.is_cpu() ? on : on.to(dev), dev.is_cpu() ? od : od.to(dev)};
}

static py::object approx_of(FieldOp op, const py::object& x, const py::object& y) {
  if (x.is_none() || y.is_none()) return py::none();
  if (THPVariable_Check(x.ptr()) && THPVariable_Check(y.ptr())) {
    const at::Tensor& a = THPVariable_Unpack(x.ptr());
    const at::Tensor& b = THPVariable_Unpack(y.ptr());
    switch (op) {
      case FieldOp::Add: return py::cast(a + b);
      case FieldOp::Sub: return py::cast(a - b);
      case FieldOp::Mul: return py::cast(a * b);
      case FieldOp::Div: return py::cast(a / (b + 1e-30));
    }
  }
  switch (op) {
    case FieldOp::Add: return x + y;
    case FieldOp::Sub: return x - y;
    case FieldOp::Mul: return x * y;
    default: return x / (y + py::float_(1e-30));
  }
}

// ---------------------------------------------------------------- one element on the CPU

// A float32 hint of one element that the torch op would compute on as it stands: no autograd,
// no Python dispatch, no lazy negation, so one IEEE operation on its value is that op.
static bool plain_hint(const Record& r, const std::vector<int64_t>& shape, float& v) {
  if (r.pending_hint(v, shape.size())) return true;
  const py::object& h = r.hint();
  if (!THPVariable_Check(h.ptr())) return false;
  const at::Tensor& t = THPVariable_Unpack(h.ptr());
  if (!t.defined() || !t.is_cpu() || t.layout() != at::kStrided || t.scalar_type() != at::kFloat ||
      t.requires_grad() || t.is_neg() || t.unsafeGetTensorImpl()->is_python_dispatch() || t.sizes() != shape ||
      !t.has_storage())
    return false;
  v = *t.const_data_ptr<float>();
  return true;
}

template <FieldOp OP>
static void small_field_op(const int64_t* an, const int64_t* ad, const int64_t* bn, const int64_t* bd, int64_t* on,
                           int64_t* od) {
  const auto& mods = exact::constants().mod;
  for (int j = 0; j < kPrimes; ++j) {
    const kernels::FieldResidues r = kernels::field_element<OP>(mods[j], (uint64_t)an[j], (uint64_t)ad[j],
                                                                (uint64_t)bn[j], (uint64_t)bd[j]);
    on[j] = (int64_t)r.num;
    od[j] = (int64_t)r.den;
  }
}

// Two records of one element each and one shape, on the CPU launcher's device, whose result
// fits the range: twenty residues by a direct loop. Through ATen the same op pays for shape
// inference, four operand reshapes, two kernel launches and the hint's dispatch, several
// times the arithmetic; null when the operands are not of that kind.
static py::object small_binary(FieldOp op, const Record& a, const Record& b, int nb, int db) {
  if (a.elements() != 1 || b.elements() != 1 || !a.num.is_cpu() || record::generic_kernels_only() ||
      a.num.sizes() != b.num.sizes())
    return py::object();
  for (const at::Tensor* t : {&a.num, &a.denom, &b.num, &b.denom})
    if (!t->is_contiguous() || !t->is_cpu()) return py::object();
  const std::vector<int64_t> shape = a.shape();
  at::Tensor on = record::empty_host(a.num.sizes(), at::kLong), od = record::empty_host(a.num.sizes(), at::kLong);
  const int64_t *an = a.num.const_data_ptr<int64_t>(), *ad = a.denom.const_data_ptr<int64_t>();
  const int64_t *bn = b.num.const_data_ptr<int64_t>(), *bd = b.denom.const_data_ptr<int64_t>();
  int64_t *pn = on.data_ptr<int64_t>(), *pd = od.data_ptr<int64_t>();
  switch (op) {
    case FieldOp::Add: small_field_op<FieldOp::Add>(an, ad, bn, bd, pn, pd); break;
    case FieldOp::Sub: small_field_op<FieldOp::Sub>(an, ad, bn, bd, pn, pd); break;
    case FieldOp::Mul: small_field_op<FieldOp::Mul>(an, ad, bn, bd, pn, pd); break;
    case FieldOp::Div: small_field_op<FieldOp::Div>(an, ad, bn, bd, pn, pd); break;
  }
  float x, y;
  if (plain_hint(a, shape, x) && plain_hint(b, shape, y)) {
    // ATen casts the Python scalar of the division's guard to float32 before adding it.
    float r = 0;
    switch (op) {
      case FieldOp::Add: r = x + y; break;
      case FieldOp::Sub: r = x - y; break;
      case FieldOp::Mul: r = x * y; break;
      case FieldOp::Div: r = x / (y + (float)1e-30); break;
    }
    return record::make_record(std::move(on), std::move(od), r, (int)shape.size(), nb, db);
  }
  return record::make_record(std::move(on), std::move(od), approx_of(op, a.hint(), b.hint()), nb, db);
}

py::object binary(FieldOp op, Record& a, Record& b) {
  record::ensure_bits(a);
  record::ensure_bits(b);
  int nb = 0, db = 0;
  bound_of(op, a, b, nb, db);
  if (nb <= exact::kFitBits && db <= exact::kFitBits)
    if (py::object r = small_binary(op, a, b, nb, db)) return r;
  const std::vector<int64_t> shape = broadcast_shape(a, b);
  const int64_t n = count_of(shape);
  at::Tensor on, od;
  if (nb <= exact::kFitBits && db <= exact::kFitBits) {
    auto [x, y] = kernel_operand(a, shape);
    auto [u, v] = kernel_operand(b, shape);
    std::tie(on, od) = field_op_residues(op, x, y, u, v, n);
  } else {
    std::tie(on, od) = field_op_exact(op, a, b, shape, nb, db);
  }
  std::vector<int64_t> full{kPrimes};
  full.insert(full.end(), shape.begin(), shape.end());
  return record::make_record(on.view(full), od.view(full), approx_of(op, a.hint(), b.hint()), nb, db);
}

py::object operand(py::handle other, const at::Device& device, const std::vector<int64_t>& shape) {
  if (record::is_record(other)) return py::reinterpret_borrow<py::object>(other);
  if (PyLong_Check(other.ptr()) || PyFloat_Check(other.ptr())) return record::number_record(other, device, shape);
  // What reading the attributes of a foreign operand raises, in the order they are read.
  py::getattr(other, "shape");
  py::getattr(other, "num");
  py::getattr(other, "denom");
  python::raise_type_error("operand must be a ModularTensor, an int or a float, got " + python::type_name(other));
}

// ---------------------------------------------------------------- methods

template <FieldOp OP>
static py::object m_binary(py::handle self, const python::Args& args) {
  py::object other = py::reinterpret_borrow<py::object>(args[0]);
  Record& a = record::as_record(self);
  py::object b = operand(other, a.num.device(), {});
  return binary(OP, a, record::as_record(b));
}

template <FieldOp OP>
static py::object m_reflected(py::handle self, const python::Args& args) {
  py::object other = py::reinterpret_borrow<py::object>(args[0]);
  Record& a = record::as_record(self);
  py::object b = operand(other, a.num.device(), {});
  return binary(OP, a, record::as_record(b));
}

static py::object m_rsub(py::handle self, const python::Args& args) {
  py::object other = py::reinterpret_borrow<py::object>(args[0]);
  Record& a = record::as_record(self);
  if (!(PyLong_Check(other.ptr()) || PyFloat_Check(other.ptr()))) return other.attr("__sub__")(self);
  py::object s = record::number_record(other, a.num.device(), {});
  return binary(FieldOp::Sub, record::as_record(s), a);
}

// -a of one element on the CPU: p - r per prime and the hint's sign flipped, which is what
// torch.neg does to a float; only an exact torch.Tensor hint, since `-hint` honours the
// overrides of a subclass. Null when the record or hint is not of that kind.
static py::object small_neg(const Record& a) {
  if (a.elements() != 1 || !a.num.is_cpu() || !a.denom.is_cpu() || record::generic_kernels_only() ||
      !a.num.is_contiguous() || !a.denom.is_contiguous())
    return py::object();
  float h = 0;
  const std::vector<int64_t> shape = a.shape();
  // A pending hint first: asking for the tensor would make it.
  const bool plain =
      a.pending_hint(h, shape.size()) || (THPVariable_CheckExact(a.hint().ptr()) && plain_hint(a, shape, h));
  if (!plain && !a.hint().is_none()) return py::object();
  at::Tensor on = record::empty_host(a.num.sizes(), at::kLong);
  const int64_t* r = a.num.const_data_ptr<int64_t>();
  int64_t* out = on.data_ptr<int64_t>();
  const auto& mods = exact::constants().mod;
  for (int j = 0; j < kPrimes; ++j) out[j] = r[j] ? (int64_t)mods[j].p - r[j] : 0;
  at::Tensor od = record::empty_host(a.denom.sizes(), at::kLong);
  std::memcpy(od.data_ptr<int64_t>(), a.denom.const_data_ptr<int64_t>(), kPrimes * sizeof(int64_t));
  if (plain) return record::make_record(std::move(on), std::move(od), -h, (int)shape.size(), a.num_bits, a.den_bits);
  return record::make_record(std::move(on), std::move(od), py::none(), a.num_bits, a.den_bits);
}

static py::object m_neg(py::handle self, const python::Args&) {
  Record& a = record::as_record(self);
  record::ensure_bits(a);
  if (py::object r = small_neg(a)) return r;
  py::object approx = a.hint().is_none() ? py::none() : -a.hint();
  return record::make_record(negate_residues(a.num), a.denom.clone(), approx, a.num_bits, a.den_bits);
}

static py::object m_reciprocal(py::handle self, const python::Args&) {
  Record& a = record::as_record(self);
  record::ensure_bits(a);
  py::object approx = a.hint().is_none() ? py::none() : py::float_(1.0) / a.hint();
  return record::make_record(a.denom.clone(), a.num.clone(), approx, a.den_bits, a.num_bits);
}

static py::object m_square(py::handle self, const python::Args&) {
  Record& a = record::as_record(self);
  return binary(FieldOp::Mul, a, a);
}

// The documented broadcast: stretched residues are materialised, hints stay expanded views.
static py::object stretched(py::handle obj, const std::vector<int64_t>& shape) {
  Record& r = record::as_record(obj);
  if (r.shape() == shape) return py::reinterpret_borrow<py::object>(obj);
  std::vector<int64_t> full{kPrimes};
  full.insert(full.end(), shape.begin(), shape.end());
  auto grow = [&](at::Tensor t) {
    while (t.dim() < (int64_t)full.size()) t = t.unsqueeze(1);
    return t.expand(full).contiguous();
  };
  py::object approx = py::none();
  if (!r.hint().is_none()) {
    py::object sa = r.hint();
    for (size_t i = r.num.dim() - 1; i < shape.size(); ++i) sa = sa.attr("unsqueeze")(0);
    approx = sa.attr("expand")(py::cast(shape));
  }
  Record out;
  out.num = grow(r.num);
  out.denom = grow(r.denom);
  out.primes = r.primes;
  out.device = record::device_object(out.num.device());
  out.set_hint(approx);
  out.set_bits(r.num_bits, r.den_bits);
  return py::cast(std::move(out));
}

static py::object m_broadcast_with(py::handle self, const python::Args& args) {
  py::object other = py::reinterpret_borrow<py::object>(args[0]);
  py::object self_shape = self.attr("shape"), other_shape = other.attr("shape");
  if (self_shape.equal(other_shape)) return py::make_tuple(self, other);
  const std::vector<int64_t> shape = broadcast_shape(record::as_record(self), record::as_record(other));
  return py::make_tuple(stretched(self, shape), stretched(other, shape));
}

void register_arithmetic(py::handle cls) {
  using python::method;
  static const python::Def members[] = {
      method<m_broadcast_with>("_broadcast_with", {{"other"}}, "Broadcast two ModularTensors to the same shape."),
      method<m_binary<FieldOp::Add>>("__add__", {{"other"}}, "Exact addition: a/b + c/d = (ad + bc) / bd"),
      method<m_reflected<FieldOp::Add>>("__radd__", {{"other"}}, nullptr),
      method<m_binary<FieldOp::Sub>>("__sub__", {{"other"}}, "Exact subtraction: a/b - c/d = (ad - bc) / bd"),
      method<m_rsub>("__rsub__", {{"other"}}, nullptr),
      method<m_binary<FieldOp::Mul>>("__mul__", {{"other"}}, "Exact multiplication: (a/b) * (c/d) = ac / bd"),
      method<m_reflected<FieldOp::Mul>>("__rmul__", {{"other"}}, nullptr),
      method<m_binary<FieldOp::Div>>("__truediv__", {{"other"}}, "Exact division: (a/b) / (c/d) = ad / bc"),
      method<m_neg>("__neg__", {}, "Negation."),
      method<m_reciprocal>("reciprocal", {}, "Exact reciprocal 1/x."),
      method<m_square>("square", {}, "Exact square x^2."),
  };
  python::install(cls, members);
}

}  // namespace korvex::arithmetic
