// sign, abs, relu and the order relations, decided on the exact values.
#include <ATen/ExpandUtils.h>
#include <ATen/Parallel.h>
#include <torch/csrc/autograd/python_variable.h>

#include "arithmetic/kernels.h"
#include "compare/decide.h"
#include "compare/ops.h"
#include "compare/support.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"

namespace korvex::compare {

using record::Record;

namespace {

py::object m_sign(py::handle self, const python::Args&) {
  Record& r = record::as_record(self);
  const at::Tensor s = exact_signs(r);
  // Shaped and typed like the float tensor the sign used to be read from: the hint's element
  // shape (0-d for a scalar) when there is a hint, else to_float's float32 shape.
  at::ScalarType dtype = at::kFloat;
  if (THPVariable_Check(r.hint().ptr())) {
    const at::ScalarType t = THPVariable_Unpack(r.hint().ptr()).scalar_type();
    if (at::isFloatingType(t)) dtype = t;
  }
  const std::vector<int64_t> shape = r.hint().is_none() ? image_shape(r) : r.shape();
  return py::cast(s.to(dtype).view(shape).to(r.num.device()));
}

py::object m_abs(py::handle self, const python::Args&) {
  Record& r = record::as_record(self);
  const at::Tensor negative = lifted(exact_signs(r).lt(0), r);
  // -(n/d) is (-n)/d whichever of the two carries the sign, so the denominator stays.
  at::Tensor num = at::where(negative, arithmetic::negate_residues(r.num), r.num);
  py::object approx = r.hint().is_none() ? py::none() : torch_on_hint("abs", r.hint());
  return record::make_record(num, r.denom.clone(), approx, r.num_bits, r.den_bits);
}

py::object m_relu(py::handle self, const python::Args&) {
  Record& r = record::as_record(self);
  const at::Tensor keep = lifted(exact_signs(r).gt(0), r);
  at::Tensor num = at::where(keep, r.num, 0);
  at::Tensor den = at::where(keep, r.denom, 1);
  py::object approx = r.hint().is_none() ? py::none() : torch_on_hint("relu", r.hint());
  return record::make_record(num, den, approx, r.num_bits, std::max(r.den_bits, 1));
}

enum class Rel { Lt, Le, Gt, Ge };

template <Rel R>
inline bool holds(int o) {
  switch (R) {
    case Rel::Lt: return o == -1;
    case Rel::Le: return o == -1 || o == 0;
    case Rel::Gt: return o == 1;
    case Rel::Ge: return o == 1 || o == 0;
  }
  return false;
}

// The relation's mask from exact orders.
template <Rel R>
at::Tensor holds_mask(const at::Tensor& order) {
  switch (R) {
    case Rel::Lt: return order.eq(-1);
    case Rel::Le: return order.eq(-1).logical_or_(order.eq(0));
    case Rel::Gt: return order.eq(1);
    case Rel::Ge: return order.eq(1).logical_or_(order.eq(0));
  }
  return {};
}

template <Rel R>
py::object m_relation(py::handle self, const python::Args& args) {
  static const char* names[] = {"lt", "le", "gt", "ge"};
  py::handle other = args[0];
  Record& a = record::as_record(self);
  record::ensure_bits(a);
  if (!record::is_record(other)) {
    py::getattr(other, "to_float");  // numbers and tensors: the AttributeError a method lookup gives
    python::raise_type_error(std::string(names[(int)R]) + "() needs a ModularTensor, got " + python::type_name(other));
  }
  Record& b = record::as_record(other);
  record::ensure_bits(b);
  // Broadcast as PyTorch broadcasts the two float images (a scalar's is of shape (1,)).
  const std::vector<int64_t> sa = image_shape(a), sb = image_shape(b);
  const std::vector<int64_t> out = at::infer_size(sa, sb);
  if (a.num.device() != b.num.device())
    python::raise_runtime_error(c10::str("Expected all tensors to be on the same device, but found at least two devices, ",
                                         a.num.device(), " and ", b.num.device(), "!"));
  const at::Device dev = a.num.device();
  Keyed ka, kb;
  if (keyed_on_device(a, ka) && keyed_on_device(b, kb)) {
    const at::Tensor ia = sa == out ? at::Tensor() : broadcast_positions(sa, out, dev);
    const at::Tensor ib = sb == out ? at::Tensor() : broadcast_positions(sb, out, dev);
    return py::cast(holds_mask<R>(order_keyed(ka, ia, kb, ib)).view(out));
  }
  const Decided da(a), db(b);
  const int64_t total = record::element_count(out);
  const at::Tensor ia = sa == out ? at::Tensor() : broadcast_positions(sa, out, at::kCPU);
  const at::Tensor ib = sb == out ? at::Tensor() : broadcast_positions(sb, out, at::kCPU);
  const int64_t* pa = ia.defined() ? ia.data_ptr<int64_t>() : nullptr;
  const int64_t* pb = ib.defined() ? ib.data_ptr<int64_t>() : nullptr;
  at::Tensor res = at::empty(out, at::kBool);
  bool* pr = res.data_ptr<bool>();
  {
    py::gil_scoped_release nogil;
    at::parallel_for(0, total, 2048, [&](int64_t begin, int64_t end) {
      for (int64_t k = begin; k < end; ++k) pr[k] = holds<R>(da.order(pa ? pa[k] : k, db, pb ? pb[k] : k));
    });
  }
  return py::cast(res.to(a.num.device()));
}

}  // namespace

void register_order(py::handle cls) {
  static const python::Def members[] = {
      python::method<m_sign>("sign", {},
                             "Return sign of each element as a regular tensor. Returns -1, 0, or 1 for each element."),
      python::method<m_relation<Rel::Lt>>("lt", {{"other"}}, "Less than comparison (exact)."),
      python::method<m_relation<Rel::Le>>("le", {{"other"}}, "Less than or equal comparison (exact)."),
      python::method<m_relation<Rel::Gt>>("gt", {{"other"}}, "Greater than comparison (exact)."),
      python::method<m_relation<Rel::Ge>>("ge", {{"other"}}, "Greater than or equal comparison (exact)."),
      python::method<m_abs>("abs", {}, "Exact absolute value. Returns |x| for each element."),
      python::method<m_relu>("relu", {}, "Exact ReLU: max(x, 0)."),
  };
  python::install(cls, members);
}

}  // namespace korvex::compare
