#include "reduce/sum.h"

#include <ATen/Parallel.h>
#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/pybind.h>

#include <atomic>

#include "arithmetic/ops.h"
#include "exact/crt.h"
#include "kernels/device.h"
#include "kernels/exact_jobs.h"
#include "kernels/sum_jobs.h"
#include "record/pool.h"
#include "python/args.h"
#include "python/table.h"
#include "record/axes.h"
#include "reduce/fold.h"

namespace korvex::reduce {

using exact::kPrimes;
using exact::SBig;
using record::HostValues;
using record::Record;

namespace {

int scale_of(const Record& r) { return std::min(r.den_bits, exact::kFitBits + 1) - 1; }

void python_total(const HostValues& h, int64_t first, int64_t step, int64_t count, SBig& n, SBig& d) {
  python_sum(count, [&](int64_t t, SBig& a, SBig& b) {
    a = h.num(first + t * step);
    b = h.den(first + t * step);
  }, n, d);
}

py::object hint_sum(const py::object& approx, const py::object& dim) {
  if (approx.is_none()) return py::none();
  if (THPVariable_Check(approx.ptr())) {
    const at::Tensor& a = THPVariable_Unpack(approx.ptr());
    return py::cast(dim.is_none() ? a.sum().unsqueeze(0) : a.sum(dim.cast<int64_t>()));
  }
  return dim.is_none() ? approx.attr("sum")().attr("unsqueeze")(0) : approx.attr("sum")(py::arg("dim") = dim);
}

py::object record_of(const SBig& n, const SBig& d, const at::Device& device, const std::vector<int64_t>& shape,
                     const py::object& zero_den_hint) {
  if (d.mag.is_zero()) {
    // Nothing to normalise: the sign over zero, with the summed hint as it stands.
    at::Tensor num = at::empty({kPrimes}, at::kLong), den = at::zeros({kPrimes}, at::kLong);
    exact::residues_of(n, num.data_ptr<int64_t>(), 1);
    std::vector<int64_t> full{kPrimes};
    full.insert(full.end(), shape.begin(), shape.end());
    return record::make_record(num.view(full).to(device), den.view(full).to(device), zero_den_hint,
                               n.mag.bit_length(), 0);
  }
  return record::fill_record(record::record_type(), n, d, shape, device, record::true_divide(n, d));
}

}  // namespace

void python_sum(int64_t count, const Term& term, SBig& n, SBig& d) {
  static py::handle fraction = py::object(py::module_::import("fractions").attr("Fraction")).release();
  py::object total = py::int_(0);
  for (int64_t t = 0; t < count; ++t) {
    SBig a, b;
    term(t, a, b);
    py::object f = fraction(python::sbig_to_int(a), python::sbig_to_int(b));
    total = py::reinterpret_steal<py::object>(PyNumber_Add(total.ptr(), f.ptr()));
    if (!total) throw py::error_already_set();
  }
  py::object tn = total.attr("numerator"), td = total.attr("denominator");
  if (!python::int_to_sbig(tn, n) || !exact::fits(n)) record::raise_range_error("the exact sum");
  if (!python::int_to_sbig(td, d) || !exact::fits(d)) record::raise_range_error("the exact sum");
}

void exact_total(int64_t count, const Term& term, int scale, SBig& n, SBig& d) {
  constexpr int64_t kGrain = 1 << 14;
  const int64_t chunks = std::max<int64_t>(1, (count + kGrain - 1) / kGrain);
  std::vector<ExactSum> parts(chunks, ExactSum(scale));
  {
    py::gil_scoped_release nogil;
    at::parallel_for(0, chunks, 1, [&](int64_t b, int64_t e) {
      SBig x, y;
      for (int64_t c = b; c < e; ++c) {
        const int64_t lo = c * kGrain, hi = std::min(count, lo + kGrain);
        for (int64_t t = lo; t < hi && !parts[c].overflowed(); ++t) {
          term(t, x, y);
          parts[c].add(x, y);
        }
      }
    });
  }
  for (int64_t c = 1; c < chunks; ++c) parts[0].merge(parts[c]);
  if (!parts[0].finish(n, d)) python_sum(count, term, n, d);
  if (!exact::fits(n) || !exact::fits(d)) record::raise_range_error("the exact sum");
}

namespace {

// The accumulated (pos - neg) / 2^scale in lowest terms; OverflowError where that leaves the
// range, as for any exact sum.
void dyadic_value(const kernels::DyadicAcc& acc, int scale, SBig& n, SBig& d) {
  exact::UBig pos, neg;
  for (int i = 0; i < kernels::kAccLimbs; ++i) {
    pos.w[i] = acc.pos[i];
    neg.w[i] = acc.neg[i];
  }
  pos.n = neg.n = kernels::kAccLimbs;
  pos.trim();
  neg.trim();
  n = SBig();
  if (exact::ubig_cmp(pos, neg) >= 0) {
    exact::ubig_sub(n.mag, pos, neg);
  } else {
    exact::ubig_sub(n.mag, neg, pos);
    n.neg = true;
  }
  const int drop = n.mag.is_zero() ? scale : std::min(scale, exact::ubig_ctz(n.mag));
  exact::ubig_shr(n.mag, drop);
  d = SBig();
  d.mag = exact::UBig(1);
  exact::ubig_shl(d.mag, scale - drop);
  if (!exact::fits(n) || !exact::fits(d)) record::raise_range_error("the exact sum");
}

}  // namespace

bool dyadic_total(Record& r, SBig& n, SBig& d) {
  record::ensure_bits(r);
  const int scale = scale_of(r);
  kernels::DyadicAcc acc;
  bool dyadic;
#ifdef KORVEX_WITH_CUDA
  if (kernels::launcher_for(r.num.device()) == kernels::Launcher::Cuda) {
    const kernels::Rows rows = record::value_rows(r);
    py::gil_scoped_release nogil;
    dyadic = kernels::dyadic_sum_cuda(rows.num, rows.den, rows.kn, rows.kd, scale, acc);
  } else
#endif
  {
    const HostValues h = record::host_values(r);
    py::gil_scoped_release nogil;
    dyadic = kernels::dyadic_sum_cpu(h.n, h.d, h.kn, h.kd, scale, acc);
  }
  if (dyadic) dyadic_value(acc, scale, n, d);
  return dyadic;
}

void keep_unreduced(int64_t count, const Den& den, SBig& n, SBig& d) {
  if (d.mag.is_zero()) return;
  SBig prod;
  prod.mag = exact::UBig(1);
  for (int64_t t = 0; t < count; ++t) {
    SBig x;
    exact::sbig_mul(x, prod, den(t));
    prod = x;
    if (prod.mag.bit_length() > exact::kCongruenceBits) return;
  }
  if (!exact::fits(prod)) return;
  SBig q, doc;
  q.mag = exact::ubig_divexact(prod.mag, d.mag);
  q.neg = prod.neg;
  exact::sbig_mul(doc, n, q);
  if (!exact::fits(doc)) return;
  n = doc;
  d = prod;
}

py::object total_record(Record& r) {
  record::ensure_bits(r);
  const int64_t n = r.elements();
  const at::Device dev = r.num.device();
  if (n == 0) return record::fill_record(record::record_type(), SBig(), [] { SBig one; one.mag = exact::UBig(1); return one; }(), {1}, dev, 0.0);
  if (n == 1) {
    return record::make_record(r.num.reshape({kPrimes, 1}).clone(), r.denom.reshape({kPrimes, 1}).clone(),
                               hint_sum(r.hint(), py::none()), r.num_bits, r.den_bits);
  }
  SBig sn, sd;
  if (dyadic_total(r, sn, sd)) return record_of(sn, sd, dev, {1}, hint_sum(r.hint(), py::none()));
  const HostValues h = record::host_values(r);
  exact_total(n, [&](int64_t k, SBig& a, SBig& b) {
    a = h.num(k);
    b = h.den(k);
  }, scale_of(r), sn, sd);
  return record_of(sn, sd, dev, {1}, hint_sum(r.hint(), py::none()));
}

namespace {

// The sums along an axis, as [N_PRIMES, outer, m] residues, by the dyadic accumulator on the
// record's device; None where some element is not dyadic (the host then sums exactly).
py::object dyadic_axis_sum(const Record& r, const at::Tensor& num, const at::Tensor& den, int64_t outer, int64_t m,
                           const std::vector<int64_t>& full, const py::object& hint) {
  kernels::Rows rows;
  rows.kn = exact::primes_for_bits(r.num_bits);
  rows.kd = exact::primes_for_bits(r.den_bits);
  rows.num = num.narrow(0, 0, rows.kn).reshape({rows.kn, outer * m}).contiguous();
  rows.den = den.narrow(0, 0, rows.kd).reshape({rows.kd, outer * m}).contiguous();
  const at::Device dev = r.num.device();
  at::Tensor on = record::empty_residues({kPrimes, outer}, dev), od = record::empty_residues({kPrimes, outer}, dev);
  kernels::RunningStats st;
  {
    py::gil_scoped_release nogil;
#ifdef KORVEX_WITH_CUDA
    if (kernels::launcher_for(dev) == kernels::Launcher::Cuda)
      st = kernels::dyadic_row_sums_cuda(rows, m, scale_of(r), on, od);
    else
#endif
      st = kernels::dyadic_row_sums_cpu(rows, m, scale_of(r), on, od);
  }
  if (st.status == kernels::kRunNotDyadic) return py::none();
  if (st.status == kernels::kRunOverflow) record::raise_range_error("the exact sum");
  return record::make_record(on.view(full), od.view(full), hint, st.num_bits, st.den_bits);
}

}  // namespace

py::object axis_sum_record(Record& r, int64_t axis) {
  record::ensure_bits(r);
  const py::object hint = hint_sum(r.hint(), py::int_(axis));
  std::vector<int64_t> rest = r.shape();
  if (rest.empty()) {
    // A 0-d record summed over its only position is itself, as PyTorch has it.
    return record::make_record(r.num.clone(), r.denom.clone(), hint, r.num_bits, r.den_bits);
  }
  const int64_t m = rest[axis];
  rest.erase(rest.begin() + axis);
  int64_t outer = 1;
  for (int64_t s : rest) outer *= s;
  std::vector<int64_t> full{kPrimes};
  full.insert(full.end(), rest.begin(), rest.end());
  const at::Tensor num = r.num.movedim(axis + 1, -1).reshape({kPrimes, outer, m});
  const at::Tensor den = r.denom.movedim(axis + 1, -1).reshape({kPrimes, outer, m});
  const int64_t nb = m == 0 ? 0 : r.num_bits + (m - 1) * (int64_t)r.den_bits + exact::ceil_log2(m);
  const int64_t db = m == 0 ? 1 : m * (int64_t)r.den_bits;
  if (nb <= exact::kFitBits && db <= exact::kFitBits) {
    auto [on, od] = fold_residues(Fold::Sum, num, den);
    return record::make_record(on.contiguous().view(full), od.contiguous().view(full), hint, (int)nb, (int)db);
  }
  // Some sums may not fit unreduced: each is evaluated exactly, the unreduced fraction kept
  // where it fits and lowest terms where only those do.
  if (kernels::launcher_for(r.num.device()) != kernels::Launcher::Generic) {
    py::object done = dyadic_axis_sum(r, num, den, outer, m, full, hint);
    if (!done.is_none()) return done;
  }
  Record flat;
  flat.set_hint(py::none());
  flat.num = num.reshape({kPrimes, outer * m});
  flat.denom = den.reshape({kPrimes, outer * m});
  flat.primes = r.primes;
  flat.set_bits(r.num_bits, r.den_bits);
  const HostValues h = record::host_values(flat);
  record::ResidueWriter out(outer);
  std::vector<char> redo(outer, 0);
  const int scale = scale_of(r);
  auto emit = [&](int64_t o, SBig& sn, SBig& sd) {
    keep_unreduced(m, [&](int64_t t) { return h.den(o * m + t); }, sn, sd);
    out.put(o, sn, sd);
  };
  {
    py::gil_scoped_release nogil;
    at::parallel_for(0, outer, 1, [&](int64_t b, int64_t e) {
      for (int64_t o = b; o < e; ++o) {
        ExactSum s(scale);
        for (int64_t t = 0; t < m && !s.overflowed(); ++t) s.add(h.num(o * m + t), h.den(o * m + t));
        SBig sn, sd;
        if (!s.finish(sn, sd)) {
          redo[o] = 1;
          continue;
        }
        emit(o, sn, sd);
      }
    });
  }
  for (int64_t o = 0; o < outer; ++o) {
    if (!redo[o]) continue;
    SBig sn, sd;
    python_total(h, o * m, 1, m, sn, sd);
    emit(o, sn, sd);
  }
  return out.record(rest, r.num.device(), hint, "the exact sum");
}

namespace {

py::object m_sum_dim(py::handle self, const python::Args& a) {
  Record& r = record::as_record(self);
  const int64_t axis = record::element_axis(python::coerce_int(a[0], "dim"), r.num.dim() - 1);
  return axis_sum_record(r, axis);
}

py::object m_sum(py::handle self, const python::Args& a) {
  Record& r = record::as_record(self);
  if (!a[0].is_none()) {
    const int64_t axis = record::element_axis(python::coerce_int(a[0], "dim"), r.num.dim() - 1);
    return axis_sum_record(r, axis);
  }
  return total_record(r);
}

// PyTorch's broadcast of two element shapes; false where they do not broadcast.
bool broadcast_shape(const std::vector<int64_t>& a, const std::vector<int64_t>& b, std::vector<int64_t>& out) {
  const size_t n = std::max(a.size(), b.size());
  out.assign(n, 1);
  for (size_t i = 0; i < n; ++i) {
    const int64_t x = i < n - a.size() ? 1 : a[i - (n - a.size())];
    const int64_t y = i < n - b.size() ? 1 : b[i - (n - b.size())];
    if (x != y && x != 1 && y != 1) return false;
    out[i] = x == 1 ? y : x;
  }
  return true;
}

// A view of `r` expanded to `shape`, with its bound.
Record broadcast_to(const Record& r, const std::vector<int64_t>& shape) {
  std::vector<int64_t> full{kPrimes}, lifted{kPrimes};
  full.insert(full.end(), shape.begin(), shape.end());
  const std::vector<int64_t> own = r.shape();
  lifted.resize(1 + shape.size() - own.size(), 1);
  lifted.insert(lifted.end(), own.begin(), own.end());
  Record v;
  v.set_hint(py::none());
  v.num = r.num.reshape(lifted).expand(full);
  v.denom = r.denom.reshape(lifted).expand(full);
  v.primes = r.primes;
  v.device = r.device;
  v.set_bits(r.num_bits, r.den_bits);
  return v;
}

// The rows of a residue tensor a device kernel reads: the leading k primes, contiguous.
py::object m_dot(py::handle self, const python::Args& a) {
  Record& x = record::as_record(self);
  py::object y = arithmetic::operand(a[0], x.num.device(), {});
  Record& yr = record::as_record(y);
  record::ensure_bits(x);
  record::ensure_bits(yr);
  std::vector<int64_t> shape;
  if (broadcast_shape(x.shape(), yr.shape(), shape) && record::element_count(shape) >= 2) {
    // The sum of two or more products is returned in lowest terms, with no record of the
    // products in between (a record of them could leave the range where the sum does not).
    // Dyadic operands sum their products in the accumulator where they are; anything else is
    // summed exactly on the host.
    Record bx = broadcast_to(x, shape), by = broadcast_to(yr, shape);
    const int scale = scale_of(x) + scale_of(yr);
    kernels::DyadicAcc acc;
    bool dyadic = false;
    SBig sn, sd;
#ifdef KORVEX_WITH_CUDA
    const bool cuda = kernels::launcher_for(x.num.device()) == kernels::Launcher::Cuda;
    if (cuda) {
      const kernels::Rows rx = record::value_rows(bx), ry = record::value_rows(by);
      py::gil_scoped_release nogil;
      dyadic = kernels::dyadic_dot_cuda(rx, ry, scale, acc);
    }
#else
    constexpr bool cuda = false;
#endif
    if (dyadic) {
      dyadic_value(acc, scale, sn, sd);
    } else {
      const HostValues hx = record::host_values(bx), hy = record::host_values(by);
      if (!cuda) {
        py::gil_scoped_release nogil;
        dyadic = kernels::dyadic_dot_cpu({hx.n, hx.d, hx.kn, hx.kd}, {hy.n, hy.d, hy.kn, hy.kd}, scale, acc);
      }
      if (dyadic) {
        dyadic_value(acc, scale, sn, sd);
      } else {
        exact_total(bx.elements(), [&](int64_t k, SBig& pn, SBig& pd) {
          exact::sbig_mul(pn, hx.num(k), hy.num(k));
          exact::sbig_mul(pd, hx.den(k), hy.den(k));
        }, scale, sn, sd);
      }
    }
    kernels::count_path(dyadic ? kernels::Path::DotKernel : kernels::Path::DotHost);
    py::object hint = py::none();
    if (!x.hint().is_none() && !yr.hint().is_none()) hint = hint_sum(x.hint() * yr.hint(), py::none());
    return record_of(sn, sd, x.num.device(), {1}, hint);
  }
  py::object p = arithmetic::binary(arithmetic::FieldOp::Mul, x, yr);
  return total_record(record::as_record(p));
}

}  // namespace

void register_sum(py::handle cls) {
  static const python::Def members[] = {
      python::method<m_sum>("sum", {{"dim", "None"}},
                            "Exact sum using chunked reduction to prevent overflow. Chunks elements, sums each "
                            "chunk, simplifies, then combines."),
      python::method<m_sum_dim>("_sum_dim", {{"dim"}}, "Sum along a specific dimension using parallel tree reduction."),
      python::method<m_dot>("dot", {{"other"}}, "Exact dot product using parallel reduction."),
  };
  python::install(cls, members);
}

}  // namespace korvex::reduce
