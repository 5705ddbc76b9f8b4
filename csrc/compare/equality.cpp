#include "compare/equality.h"

#include <ATen/Parallel.h>
#include <torch/csrc/utils/pybind.h>

#include "arithmetic/ops.h"
#include "compare/decide.h"
#include "exact/crt.h"
#include "python/args.h"
#include "python/table.h"
#include "record/record.h"

namespace korvex::compare {

namespace py = pybind11;
using exact::kPrimes;
using exact::SBig;
using record::Record;

// Residues viewed with as many element axes as `rank`, new axes in front (PyTorch alignment).
static at::Tensor aligned(const at::Tensor& t, size_t rank) {
  at::Tensor v = t;
  while ((size_t)v.dim() - 1 < rank) v = v.unsqueeze(1);
  return v;
}

// 0/0 has no value: it equals nothing, itself included.
static at::Tensor undefined_mask(const at::Tensor& num, const at::Tensor& den) {
  return (num.eq(0) & den.eq(0)).all(0);
}

static at::Tensor equal_exact_host(const Record& a, const Record& b, const std::vector<int64_t>& shape) {
  const int64_t n = record::element_count(shape);
  auto [an_d, ad_d] = arithmetic::expanded_residues(a, shape);
  auto [bn_d, bd_d] = arithmetic::expanded_residues(b, shape);
  at::Tensor an = an_d.cpu(), ad = ad_d.cpu(), bn = bn_d.cpu(), bd = bd_d.cpu();
  at::Tensor out = at::empty({n}, at::TensorOptions().dtype(at::kBool));
  const int64_t *pan = an.data_ptr<int64_t>(), *pad = ad.data_ptr<int64_t>();
  const int64_t *pbn = bn.data_ptr<int64_t>(), *pbd = bd.data_ptr<int64_t>();
  bool* po = out.data_ptr<bool>();
  {
    py::gil_scoped_release nogil;
    at::parallel_for(0, n, 64, [&](int64_t begin, int64_t end) {
      for (int64_t k = begin; k < end; ++k) {
        const SBig x = exact::crt_signed(pan + k, n), y = exact::crt_signed(pad + k, n);
        const SBig u = exact::crt_signed(pbn + k, n), v = exact::crt_signed(pbd + k, n);
        const bool undefined = (x.mag.is_zero() && y.mag.is_zero()) || (u.mag.is_zero() && v.mag.is_zero());
        SBig l, r;
        exact::sbig_mul(l, x, v);
        exact::sbig_mul(r, y, u);
        po[k] = !undefined && l.neg == r.neg && exact::ubig_cmp(l.mag, r.mag) == 0;
      }
    });
  }
  return out.view(shape).to(a.num.device());
}

static at::Tensor equal(Record& a, Record& b) {
  record::ensure_bits(a);
  record::ensure_bits(b);
  const std::vector<int64_t> shape = arithmetic::broadcast_shape(a, b);
  // Agreement modulo M proves equality only while both cross products stay below M.
  const int bound = std::max(a.num_bits + b.den_bits, a.den_bits + b.num_bits);
  if (bound > exact::kCongruenceBits) {
    // Cross products past M: decided by order keys, and exactly where they tie.
    Keyed ka, kb;
    if (!keyed_on_device(a, ka) || !keyed_on_device(b, kb)) return equal_exact_host(a, b, shape);
    const at::Device dev = a.num.device();
    const at::Tensor ia = a.shape() == shape ? at::Tensor() : broadcast_positions(a.shape(), shape, dev);
    const at::Tensor ib = b.shape() == shape ? at::Tensor() : broadcast_positions(b.shape(), shape, dev);
    return order_keyed(ka, ia, kb, ib).eq(0).view(shape);
  }
  const size_t rank = shape.size();
  // a/b == c/d exactly when (ad - bc) vanishes modulo every prime: one fused kernel pass.
  const int64_t n = record::element_count(shape);
  auto [x, y] = arithmetic::kernel_operand(a, shape);
  auto [u, v] = arithmetic::kernel_operand(b, shape);
  const at::Tensor diff = arithmetic::field_op_residues(arithmetic::FieldOp::Sub, x, y, u, v, n).first;
  const at::Tensor same = diff.eq(0).all(0).view(shape);
  return same & ~undefined_mask(aligned(a.num, rank), aligned(a.denom, rank)) &
         ~undefined_mask(aligned(b.num, rank), aligned(b.denom, rank));
}

static py::object m_eq(py::handle self, const python::Args& args) {
  py::handle other = args[0];
  Record& a = record::as_record(self);
  py::object b = arithmetic::operand(other, a.num.device(), {});
  return py::cast(equal(a, record::as_record(b)));
}

static py::object m_ne(py::handle self, const python::Args& a) {
  py::handle other = a[0];
  py::object eq = self.attr("__eq__")(other);
  return py::reinterpret_steal<py::object>(PyNumber_Invert(eq.ptr()));
}

void register_equality(py::handle cls) {
  static const python::Def members[] = {
      python::method<m_eq>("__eq__", {{"other"}}, "Exact element-wise equality: a/b == c/d iff ad == bc (all primes)."),
      python::method<m_ne>("ne", {{"other"}}, "Not equal comparison (exact)."),
  };
  python::install(cls, members);
  // Defining __eq__ makes the record unhashable, as a Python class would be.
  py::setattr(cls, "__hash__", py::none());
}

}  // namespace korvex::compare
