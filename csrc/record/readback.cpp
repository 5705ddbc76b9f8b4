// Reading a record back: its exact value, lowest terms, its repr.
#include <torch/csrc/utils/pybind.h>

#include "exact/crt.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"
#include "record/members.h"

namespace korvex::record {

using exact::SBig;

bool is_one_element(const Record& r) { return r.num.dim() == 1 || (r.num.dim() == 2 && r.num.size(1) == 1); }

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
  return fill_record(record_type().ptr(), n, d, r.shape(), r.num.device(), true_divide(n, d));
}

static py::object m_repr(py::handle self, const python::Args&) {
  py::object shape = self.attr("shape"), device = self.attr("device");
  return py::str("ModularTensor(shape={}, device={})").format(shape, device);
}

void register_readback(py::handle cls) {
  static const python::Def members[] = {
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
}

}  // namespace korvex::record
