// max, min, argmax, argmin and clamp: exact choices, residues moved or replaced unchanged.
#include <ATen/Parallel.h>

#include <string>

#include "compare/decide.h"
#include "compare/ops.h"
#include "compare/support.h"
#include "exact/crt.h"
#include "python/args.h"
#include "record/host.h"
#include "python/table.h"

namespace korvex::compare {

using exact::kPrimes;
using record::Record;

namespace {

// The first position of the largest (smallest) element, or of the first nan, as
// torch.argmax and torch.argmin treat nan.
int64_t extreme_index(const Decided& d, bool largest) {
  const int64_t n = d.size();
  if (n == 0) {
    const at::Tensor none = at::empty({0}, at::kFloat);
    largest ? at::argmax(none) : at::argmin(none);  // PyTorch's own refusal
  }
  py::gil_scoped_release nogil;
  int64_t best = 0;
  if (std::isnan(d.key(0))) return 0;
  // The incumbent's exact value, reconstructed once however many near-ties challenge it.
  Exact best_value;
  bool have_value = false;
  for (int64_t k = 1; k < n; ++k) {
    const double x = d.key(k), y = d.key(best);
    if (std::isnan(x)) return k;
    int o;
    if (x != y) o = x < y ? -1 : 1;
    else if (d.key_exact(k) && d.key_exact(best)) o = 0;
    else {
      if (!have_value) {
        best_value = d.value(best);
        have_value = true;
      }
      o = order_exact(d.value(k), best_value);
    }
    if (largest ? o > 0 : o < 0) {
      best = k;
      have_value = false;
    }
  }
  return best;
}

// Candidates settled pairwise on the device up to this many; beyond, the host scan.
constexpr int64_t kMaxPairedCandidates = 1024;

// The same from the keys on the record's device where it has a kernel (CPU, CUDA), a few
// scalars read back; false (left to the host scan) on other devices, for an empty record,
// and when more than kMaxPairedCandidates elements share the extreme key without all being
// exact.
bool extreme_index_by_keys(Record& r, bool largest, int64_t& index, at::Tensor* images) {
  Keyed kr;
  if (r.elements() == 0 || !keys_on_device(r, kr.keys, kr.exact, images)) return false;
  const at::Tensor nan = at::isnan(kr.keys);
  if (nan.any().item<bool>()) {
    index = nan.to(at::kByte).argmax().item<int64_t>();
    return true;
  }
  const at::Tensor candidates = kr.keys.eq(largest ? kr.keys.max() : kr.keys.min());
  const int64_t count = candidates.sum().item<int64_t>();
  if (count > 1 && candidates.logical_and(kr.exact.eq(0)).any().item<bool>()) {
    if (count > kMaxPairedCandidates) return false;
    // Every candidate against every other, exactly: the first that none exceeds wins, so
    // exactly equal values keep the first index.
    const at::Tensor pos = candidates.nonzero().squeeze(1);
    kr.rows = record::value_rows(r);
    const at::Tensor order =
        order_keyed(kr, pos.repeat_interleave(count), kr, pos.repeat({count})).view({count, count});
    const at::Tensor wins = (largest ? order.ge(0) : order.le(0)).all(1);
    index = pos.index_select(0, wins.to(at::kByte).argmax().unsqueeze(0)).item<int64_t>();
    return true;
  }
  // argmax gives the first of equal maxima: exactly equal values keep the first index.
  index = candidates.to(at::kByte).argmax().item<int64_t>();
  return true;
}

// Residues of the element at row-major position `flat`, as [N_PRIMES, 1].
at::Tensor column(const at::Tensor& t, int64_t flat) {
  std::vector<int64_t> index(t.dim(), 0);
  for (int64_t ax = t.dim() - 1; ax >= 1; --ax) {
    index[ax] = flat % t.size(ax);
    flat /= t.size(ax);
  }
  at::Tensor c = t;
  for (int64_t ax = 1; ax < t.dim(); ++ax) c = c.select(1, index[ax]);
  // A copy, so that the one element does not keep the whole source alive.
  return c.unsqueeze(1).clone();
}

template <bool kLargest>
py::object m_extreme(py::handle self, const python::Args&) {
  Record& r = record::as_record(self);
  const bool hinted = !r.hint().is_none();
  int64_t i;
  at::Tensor images;
  if (!extreme_index_by_keys(r, kLargest, i, hinted ? &images : nullptr)) {
    const Decided d(r, hinted);
    i = extreme_index(d, kLargest);
    images = d.images;
  }
  // With a hint, the result's hint is the chosen element's float image.
  py::object approx = hinted ? py::cast(images.narrow(0, i, 1).clone().to(r.num.device())) : py::none();
  return record::make_record(column(r.num, i), column(r.denom, i), approx, r.num_bits, r.den_bits);
}

template <bool kLargest>
py::object m_arg_extreme(py::handle self, const python::Args&) {
  Record& r = record::as_record(self);
  int64_t i;
  if (extreme_index_by_keys(r, kLargest, i, nullptr)) return py::int_(i);
  const Decided d(r);
  return py::int_(extreme_index(d, kLargest));
}

// ---------------------------------------------------------------- clamp

struct Bound {
  bool present = false;
  py::object given;  // the float itself, for the hint
  SBig num, den;
  Constant value;
};

py::object pow10(long e) {
  static py::handle ten = py::object(py::int_(10)).release();
  return ten.attr("__pow__")(e);
}

// The bound as the decimal its repr shows (0.57 is 57/100, not the double nearest it), held
// over 10000 when it has at most four decimals (0.5 as 5000/10000), else over 10^decimals.
Bound bound_of(py::handle v) {
  Bound b;
  if (v.is_none()) return b;
  b.present = true;
  b.given = py::reinterpret_borrow<py::object>(v);
  const double x = PyFloat_AsDouble(v.ptr());
  // nan and the infinities are refused as int(x * 10000) refuses them.
  {
    py::float_ scaled(x * 10000.0);
    PyObject* t = PyNumber_Long(scaled.ptr());
    if (!t) throw py::error_already_set();
    Py_DECREF(t);
  }
  char* text = PyOS_double_to_string(x, 'r', 0, 0, nullptr);
  if (!text) throw py::error_already_set();
  const std::string shown(text);
  PyMem_Free(text);
  // [-]digits[.digits][e[+-]digits]
  std::string digits;
  long exponent = 0;
  size_t pos = 0;
  const bool negative = shown[0] == '-';
  if (negative) ++pos;
  bool after_point = false;
  for (; pos < shown.size() && shown[pos] != 'e'; ++pos) {
    if (shown[pos] == '.') {
      after_point = true;
      continue;
    }
    digits += shown[pos];
    if (after_point) --exponent;
  }
  if (pos < shown.size()) exponent += std::stol(shown.substr(pos + 1));
  while (digits.size() > 1 && digits.back() == '0' && exponent < 0) {
    digits.pop_back();
    ++exponent;
  }
  py::object num = py::reinterpret_steal<py::object>(PyLong_FromString(digits.c_str(), nullptr, 10));
  if (!num) throw py::error_already_set();
  py::object den;
  if (exponent >= -4) {
    num = num * pow10(exponent + 4);
    den = py::int_(10000);
  } else {
    den = pow10(-exponent);
  }
  if (negative) num = -num;
  const bool fit = python::int_to_sbig(num, b.num) && python::int_to_sbig(den, b.den) && exact::fits(b.num) &&
                   exact::fits(b.den);
  if (!fit) {
    // As the constructors do: lowest terms when only those fit.
    static py::handle gcd = py::object(py::module_::import("math").attr("gcd")).release();
    py::object g = gcd(num, den);
    num = num.attr("__floordiv__")(g);
    den = den.attr("__floordiv__")(g);
    if (!python::int_to_sbig(num, b.num) || !python::int_to_sbig(den, b.den) || !exact::fits(b.num) ||
        !exact::fits(b.den))
      record::raise_range_error(("the clamp bound " + shown).c_str());
  }
  b.value = constant_of(b.num, b.den);
  return b;
}

// The bound's residues as a column [N_PRIMES, 1, ..., 1] that broadcasts over the record.
at::Tensor bound_column(const SBig& x, const Record& r) {
  at::Tensor host = at::empty({kPrimes}, at::kLong);
  exact::residues_of(x, host.data_ptr<int64_t>(), 1);
  std::vector<int64_t> col(r.num.dim(), 1);
  col[0] = kPrimes;
  return host.to(r.num.device()).view(col);
}

py::object m_clamp(py::handle self, const python::Args& a) {
  py::object lo_obj = python::coerce_optional_float(a[0], "min_val");
  py::object hi_obj = python::coerce_optional_float(a[1], "max_val");
  if (lo_obj.is_none() && hi_obj.is_none()) return py::reinterpret_borrow<py::object>(self);
  Record& r = record::as_record(self);
  const Bound lo = bound_of(lo_obj), hi = bound_of(hi_obj);
  // An element raised to the lower bound meets the upper one as that bound's value.
  const bool lo_above_hi = lo.present && hi.present && order_exact(lo.value.value, hi.value.value) > 0;
  at::Tensor raise, lower;
  Keyed kr;
  if (keyed_on_device(r, kr)) {
    const at::Device dev = r.num.device();
    const int64_t n = kr.keys.numel();
    const at::Tensor first = at::zeros({n}, at::TensorOptions().dtype(at::kLong).device(dev));
    raise = lo.present ? order_keyed(kr, {}, keyed_constant(lo.value, dev), first).eq(-1)
                       : at::zeros({n}, at::TensorOptions().dtype(at::kBool).device(dev));
    if (hi.present) {
      const at::Tensor above = order_keyed(kr, {}, keyed_constant(hi.value, dev), first).eq(1);
      lower = lo_above_hi ? above.logical_or(raise) : above.logical_and(raise.logical_not());
    } else {
      lower = at::zeros_like(raise);
    }
  } else {
    const Decided d(r);
    const int64_t n = d.size();
    raise = at::zeros({n}, at::kBool);
    lower = at::zeros({n}, at::kBool);
    bool* pr = raise.data_ptr<bool>();
    bool* pl = lower.data_ptr<bool>();
    py::gil_scoped_release nogil;
    at::parallel_for(0, n, 2048, [&](int64_t begin, int64_t end) {
      for (int64_t k = begin; k < end; ++k) {
        pr[k] = lo.present && d.order(k, lo.value) == -1;
        pl[k] = hi.present && (pr[k] ? lo_above_hi : d.order(k, hi.value) == 1);
      }
    });
  }
  at::Tensor num = r.num, den = r.denom;
  py::object approx = r.hint();
  int nb = r.num_bits, db = r.den_bits;
  bool changed = false;
  for (const auto* step : {&lo, &hi}) {
    const at::Tensor& mask = step == &lo ? raise : lower;
    if (!step->present || !mask.any().item<bool>()) continue;
    const at::Tensor m = lifted(mask, r);
    num = at::where(m, bound_column(step->num, r), num);
    den = at::where(m, bound_column(step->den, r), den);
    // The hint is clamped with the float the caller gave.
    if (!approx.is_none())
      approx = step == &lo ? torch_on_hint("clamp", approx, py::arg("min") = step->given)
                           : torch_on_hint("clamp", approx, py::arg("max") = step->given);
    nb = std::max(nb, step->num.mag.bit_length());
    db = std::max(db, step->den.mag.bit_length());
    changed = true;
  }
  if (!changed) return py::reinterpret_borrow<py::object>(self);
  return record::make_record(num, den, approx, nb, db);
}

}  // namespace

void register_extremes(py::handle cls) {
  static const python::Def members[] = {
      python::method<m_extreme<true>>("max", {}, "Return the maximum element (exact)."),
      python::method<m_extreme<false>>("min", {}, "Return the minimum element (exact)."),
      python::method<m_arg_extreme<true>>("argmax", {}, "Return index of maximum element."),
      python::method<m_arg_extreme<false>>("argmin", {}, "Return index of minimum element."),
      python::method<m_clamp>("clamp", {{"min_val", "None"}, {"max_val", "None"}},
                              "Clamp values to [min_val, max_val] range. Uses element selection based on comparison."),
  };
  python::install(cls, members);
}

}  // namespace korvex::compare
