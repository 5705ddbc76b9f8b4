// where, all and any: residues only, nothing reconstructed.
#include <torch/csrc/autograd/python_variable.h>

#include "compare/ops.h"
#include "compare/support.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"

namespace korvex::compare {

using record::Record;

namespace {

// Residues viewed with as many element axes as `rank`, new axes after the prime axis: an
// operand of fewer axes must meet the record's elements, never its primes.
at::Tensor aligned(const at::Tensor& t, int64_t rank) {
  at::Tensor v = t;
  while (v.dim() - 1 < rank) v = v.unsqueeze(1);
  return v;
}

at::Tensor tensor_attr(py::handle obj, const char* name) {
  py::object v = py::getattr(obj, name);
  if (!THPVariable_Check(v.ptr()))
    python::raise_type_error(std::string("where(): other.") + name + " must be a torch.Tensor, got " +
                         python::type_name(v));
  return THPVariable_Unpack(v.ptr());
}

py::object m_where(py::handle self, const python::Args& a) {
  Record& r = record::as_record(self);
  py::object cond_obj = py::reinterpret_borrow<py::object>(a[0]).attr("to")(r.device);
  if (!THPVariable_Check(cond_obj.ptr()))
    python::raise_type_error("where(): condition must be a torch.Tensor, got " + python::type_name(cond_obj));
  const at::Tensor cond = THPVariable_Unpack(cond_obj.ptr());
  // The mask must stretch to the record's own shape; the prime axis is added in front.
  const at::Tensor cond_exp = cond.unsqueeze(0).expand_as(r.num);
  py::handle other = a[1];
  at::Tensor on, od;
  int nb = record::kUnknownBits, db = record::kUnknownBits;
  if (record::is_record(other)) {
    const Record& o = record::as_record(other);
    on = o.num;
    od = o.denom;
    if (r.bits_known() && o.bits_known()) {
      nb = std::max(r.num_bits, o.num_bits);
      db = std::max(r.den_bits, o.den_bits);
    }
  } else {
    on = tensor_attr(other, "num");
    od = tensor_attr(other, "denom");
  }
  py::object other_approx = py::getattr(other, "_approx");
  const int64_t rank = std::max<int64_t>(r.num.dim(), on.dim()) - 1;
  const at::Tensor num = at::where(aligned(cond_exp, rank), aligned(r.num, rank), aligned(on, rank));
  const at::Tensor den = at::where(aligned(cond_exp, rank), aligned(r.denom, rank), aligned(od, rank));
  py::object approx = py::none();
  if (!r.hint().is_none() && !other_approx.is_none()) approx = torch_on_hint("where", cond_obj, r.hint(), other_approx);
  return record::make_record(num, den, approx, nb, db);
}

py::object m_all(py::handle self, const python::Args&) {
  Record& r = record::as_record(self);
  record::ensure_bits(r);
  // Within the exact range a numerator is zero exactly when all its residues are: a
  // multiple of one prime is not zero.
  return py::bool_(r.num.ne(0).any(0).all().item<bool>());
}

py::object m_any(py::handle self, const python::Args&) {
  Record& r = record::as_record(self);
  record::ensure_bits(r);
  return py::bool_(r.num.ne(0).any().item<bool>());
}

}  // namespace

void register_selection(py::handle cls) {
  static const python::Def members[] = {
      python::method<m_where>("where", {{"condition"}, {"other"}},
                              "Select elements based on condition. Returns self where condition is True, other where "
                              "False."),
      python::method<m_all>("all", {}, "Check if all elements are non-zero."),
      python::method<m_any>("any", {}, "Check if any element is non-zero."),
  };
  python::install(cls, members);
}

}  // namespace korvex::compare
