#include "reduce/products.h"

#include <ATen/Parallel.h>
#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/pybind.h>

#include "exact/crt.h"
#include "exact/rational.h"
#include "kernels/device.h"
#include "kernels/sum_jobs.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"
#include "record/axes.h"
#include "record/host.h"
#include "record/pool.h"
#include "reduce/fold.h"

namespace korvex::reduce {

namespace py = pybind11;
using exact::kPrimes;
using exact::kCapacityBits;
using exact::SBig;
using exact::UBig;
using record::HostValues;
using record::Record;

namespace {

// The running totals come back to lowest terms after every this many elements.
constexpr int64_t kRenormalise = 32;

SBig one() {
  SBig s;
  s.mag = UBig(1);
  return s;
}

// x * y when it stays within `limit` bits, else false.
bool mul_within(SBig& x, const SBig& y, int limit) {
  if (x.mag.bit_length() + y.mag.bit_length() - 1 > limit) return false;
  SBig t;
  exact::sbig_mul(t, x, y);
  if (t.mag.bit_length() > limit) return false;
  x = t;
  return true;
}

py::object hint_of(const py::object& approx, const char* op) {
  if (approx.is_none()) return py::none();
  if (!THPVariable_Check(approx.ptr())) return approx.attr(op)(0);
  const at::Tensor& a = THPVariable_Unpack(approx.ptr());
  if (std::string(op) == "prod") return py::cast(a.prod().unsqueeze(0));
  return py::cast(std::string(op) == "cumsum" ? at::cumsum(a, 0) : at::cumprod(a, 0));
}

// Python integers for a product whose lowest-terms intermediates outgrew the host capacity.
void python_product(const HostValues& h, SBig& n, SBig& d) {
  static py::handle fraction = py::object(py::module_::import("fractions").attr("Fraction")).release();
  py::object num = py::int_(1), den = py::int_(1);
  for (int64_t k = 0; k < h.count; ++k) {
    num = num * python::sbig_to_int(h.num(k));
    den = den * python::sbig_to_int(h.den(k));
  }
  py::object f = fraction(num, den);
  if (!python::int_to_sbig(f.attr("numerator"), n) || !python::int_to_sbig(f.attr("denominator"), d))
    record::raise_range_error("the exact product");
}

py::object m_prod(py::handle self, const python::Args&) {
  Record& r = record::as_record(self);
  record::ensure_bits(r);
  const int64_t n = r.elements();
  const py::object hint = hint_of(r.hint(), "prod");
  if (n == 0) return record::fill_record(record::record_type(), one(), one(), {1}, r.num.device(), 1.0);
  const int64_t nb = n * (int64_t)r.num_bits, db = n * (int64_t)r.den_bits;
  if (nb <= exact::kFitBits && db <= exact::kFitBits) {
    auto [on, od] = fold_residues(Fold::Product, r.num.reshape({kPrimes, 1, n}), r.denom.reshape({kPrimes, 1, n}));
    return record::make_record(on.contiguous(), od.contiguous(), hint, (int)nb, (int)db);
  }
  // The bound cannot vouch for the unreduced product: it is formed exactly and kept where it
  // fits after all (the bound takes every element at the widest), else the exact product in
  // lowest terms.
  const HostValues h = record::host_values(r);
  SBig N = one(), D = one();
  bool ok = true;
  {
    py::gil_scoped_release nogil;
    for (int64_t k = 0; k < n && ok; ++k)
      ok = mul_within(N, h.num(k), exact::kFitBits + 1) && mul_within(D, h.den(k), exact::kFitBits + 1);
    if (!ok || !exact::fits(N) || !exact::fits(D)) {
      N = one();
      D = one();
      ok = true;
      for (int64_t k = 0; k < n && ok; ++k) ok = exact::mul_lowest(N, D, h.num(k), h.den(k));
    }
  }
  if (!ok) python_product(h, N, D);
  record::ResidueWriter out(1);
  out.put(0, N, D);
  return out.record({1}, r.num.device(), hint, "the exact product");
}

// The running sum of a dyadic record computed where the record is, residues and bound
// identical to what the host loop below writes: its renormalisation every kRenormalise
// elements makes each chunk of that many start from the lowest-terms sum of all before it,
// which a scan of exact chunk totals gives. None where some denominator is not a power of
// two (the host loop then runs, from `host` where the caller already has the values);
// OverflowError where a running value leaves the range, as the host loop raises it.
py::object dyadic_running_sum(Record& r, const HostValues* host) {
  static_assert(kernels::kRunChunk == kRenormalise, "the replay restarts where the host loop renormalises");
  const int64_t n = r.elements();
  const int scale = std::min(r.den_bits, exact::kFitBits + 1) - 1;
  const at::Device dev = r.num.device();
  kernels::RunningStats stats;
  at::Tensor on, od;
#ifdef KORVEX_WITH_CUDA
  if (!host) {
    const kernels::Rows rows = record::value_rows(r);
    on = record::empty_residues({kPrimes, n}, dev);
    od = record::empty_residues({kPrimes, n}, dev);
    py::gil_scoped_release nogil;
    stats = kernels::dyadic_cumsum_cuda(rows, scale, on, od);
  } else
#endif
  {
    on = record::empty_residues({kPrimes, n}, at::kCPU);
    od = record::empty_residues({kPrimes, n}, at::kCPU);
    py::gil_scoped_release nogil;
    stats = kernels::dyadic_cumsum_cpu({host->n, host->d, host->kn, host->kd}, scale, on, od);
  }
  if (stats.status == kernels::kRunNotDyadic) return py::none();
  const py::object hint = hint_of(r.hint(), "cumsum");
  if (stats.status == kernels::kRunOverflow) record::raise_range_error("the exact result");
  std::vector<int64_t> full{kPrimes};
  const std::vector<int64_t> shape = r.shape();
  full.insert(full.end(), shape.begin(), shape.end());
  return record::make_record(on.view(full).to(dev), od.view(full).to(dev), hint, stats.num_bits, stats.den_bits);
}

template <bool kSum>
py::object running(py::handle self, const python::Args& a) {
  py::object dim = python::coerce_int(a[0], "dim");
  Record& r = record::as_record(self);
  const int64_t ndim = r.num.dim() - 1;
  record::element_axis(dim, ndim);
  if (ndim == 0) python::raise_index_error("list index out of range");
  if (ndim != 1)
    python::raise_not_implemented(kSum ? "cumsum currently only supports 1D tensors"
                                       : "cumprod currently only supports 1D tensors");
  record::ensure_bits(r);
  if constexpr (kSum) {
    if (r.elements() > 0 && kernels::launcher_for(r.num.device()) == kernels::Launcher::Cuda) {
      py::object done = dyadic_running_sum(r, nullptr);
      if (!done.is_none()) return done;
    }
  }
  const HostValues h = record::host_values(r);
  if constexpr (kSum) {
    if (h.count > 0 && kernels::launcher_for(r.num.device()) != kernels::Launcher::Cuda) {
      py::object done = dyadic_running_sum(r, &h);
      if (!done.is_none()) return done;
    }
  }
  const int64_t n = h.count;
  record::ResidueWriter out(n);
  {
    py::gil_scoped_release nogil;
    // Exact running value in lowest terms, and the documented accumulator: the value at the
    // last renormalisation in lowest terms, carried unreduced since (while it fits).
    SBig val_n = kSum ? SBig() : one(), val_d = one();
    SBig acc_n = val_n, acc_d = val_d;
    bool acc_ok = true;
    for (int64_t k = 0; k < n; ++k) {
      const SBig x = h.num(k), y = h.den(k);
      if (!(kSum ? exact::add_lowest(val_n, val_d, x, y) : exact::mul_lowest(val_n, val_d, x, y)))
        out.flag_overflow();
      if (out.overflowed()) break;
      if (acc_ok) {
        if (kSum) {
          SBig t1 = acc_n, t2 = acc_d;
          acc_ok = mul_within(t1, y, kCapacityBits / 2) && mul_within(t2, x, kCapacityBits / 2) &&
                   mul_within(acc_d, y, exact::kCongruenceBits);
          if (acc_ok) exact::sbig_add(acc_n, t1, t2, false);
        } else {
          acc_ok = mul_within(acc_n, x, exact::kCongruenceBits) && mul_within(acc_d, y, exact::kCongruenceBits);
        }
      }
      if (acc_ok && exact::fits(acc_n) && exact::fits(acc_d)) out.put(k, acc_n, acc_d);
      else out.put(k, val_n, val_d);
      if (k % kRenormalise == kRenormalise - 1 && !val_d.mag.is_zero()) {
        acc_n = val_n;
        acc_d = val_d;
        acc_ok = true;
      }
    }
  }
  return out.record(r.shape(), r.num.device(), hint_of(r.hint(), kSum ? "cumsum" : "cumprod"), "the exact result");
}


}  // namespace

void register_products(py::handle cls) {
  static const python::Def members[] = {
      python::method<m_prod>("prod", {}, "Exact product of all elements."),
      python::method<running<true>>("cumsum", {{"dim", "-1"}}, "Exact cumulative sum along dimension."),
      python::method<running<false>>("cumprod", {{"dim", "-1"}}, "Exact cumulative product along dimension."),
  };
  python::install(cls, members);
}

}  // namespace korvex::reduce
