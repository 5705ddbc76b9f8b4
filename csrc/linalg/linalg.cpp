#include "linalg/linalg.h"

#include <torch/csrc/utils/pybind.h>

#include "arithmetic/kernels.h"
#include "arithmetic/ops.h"
#include "exact/crt.h"
#include "kernels/device.h"
#include "kernels/small_det.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"
#include "record/host.h"
#include "reduce/sum.h"

namespace korvex::linalg {

namespace py = pybind11;
using arithmetic::FieldOp;
using exact::kPrimes;
using exact::kCapacityBits;
using exact::SBig;
using exact::UBig;
using record::Record;

namespace {


bool is_square(const Record& r) { return r.num.dim() == 3 && r.num.size(1) == r.num.size(2); }

SBig one() {
  SBig s;
  s.mag = UBig(1);
  return s;
}

// ---------------------------------------------------------------- exact determinants

// Determinant of an integer matrix by fraction-free elimination (every division exact), in
// integers of W words. False when an intermediate would leave them.
template <int W>
bool bareiss(exact::BasicSBig<W>* m, int n, exact::BasicSBig<W>& det) {
  using Int = exact::BasicSBig<W>;
  Int prev;
  prev.mag = exact::BasicUBig<W>(1);
  bool negate = false;
  // Every operation below writes all words of its result: the temporaries are set up once.
  Int t1, t2, s;
  for (int k = 0; k < n - 1; ++k) {
    if (m[k * n + k].mag.is_zero()) {
      int p = k + 1;
      while (p < n && m[p * n + k].mag.is_zero()) ++p;
      if (p == n) {
        det = Int();
        return true;
      }
      for (int j = 0; j < n; ++j) std::swap(m[k * n + j], m[p * n + j]);
      negate = !negate;
    }
    const Int& piv = m[k * n + k];
    for (int i = k + 1; i < n; ++i) {
      for (int j = k + 1; j < n; ++j) {
        exact::sbig_mul(t1, m[i * n + j], piv);
        exact::sbig_mul(t2, m[i * n + k], m[k * n + j]);
        exact::sbig_add(s, t1, t2, true);
        Int& q = m[i * n + j];
        q.mag = exact::ubig_divexact(s.mag, prev.mag);
        if (q.mag.over) return false;
        q.neg = !q.mag.is_zero() && (s.neg != prev.neg);
      }
    }
    prev = piv;
  }
  det = m[n * n - 1];
  if (negate && !det.mag.is_zero()) det.neg = !det.neg;
  return true;
}

// The integers of a 4x4 or 5x5 elimination of float entries stay within a few hundred bits,
// while the host integers carry the full capacity: every temporary there clears and copies
// two hundred bytes, which was most of a small determinant's cost. This width holds them,
// and the wide path takes over as soon as a value would not fit.
constexpr int kNarrowWords = 12;
using Narrow = exact::BasicSBig<kNarrowWords>;

// det of the n x n matrix of fractions (num, den), none of whose denominators is zero, in
// lowest terms: each row is cleared by the lcm of its denominators first (for floats the
// largest power of two), which keeps the integers of the elimination small.
// The same for power-of-two denominators (every float entry), in narrow words throughout:
// each row is cleared by shifts, and lowest terms take only a count of trailing zeros. False
// when a denominator is not a power of two or a value leaves the narrow words.
bool dyadic_det(const std::vector<SBig>& num, const std::vector<SBig>& den, int n, SBig& dn, SBig& dd) {
  if (n > 5) return false;
  int exps[25];
  for (int k = 0; k < n * n; ++k)
    if ((exps[k] = exact::ubig_power_of_two(den[k].mag)) < 0) return false;
  Narrow m[25];
  int64_t total = 0;
  for (int r = 0; r < n; ++r) {
    int top = 0;
    for (int c = 0; c < n; ++c) top = std::max(top, exps[r * n + c]);
    total += top;
    for (int c = 0; c < n; ++c) {
      const int k = r * n + c;
      Narrow& v = m[k] = exact::sbig_resized<kNarrowWords>(num[k]);
      exact::ubig_shl(v.mag, top - exps[k]);
      if (v.mag.over) return false;
      v.neg = !v.mag.is_zero() && (num[k].neg != den[k].neg);
    }
  }
  if (total + 1 >= kCapacityBits) return false;
  Narrow nd;
  if (!bareiss(m, n, nd)) return false;
  SBig d = exact::sbig_resized<exact::kLimbs>(nd);
  // gcd(d, 2^total) is 2 to the lesser of the two exponents.
  const int shift = d.mag.is_zero() ? (int)total : std::min(exact::ubig_ctz(d.mag), (int)total);
  exact::ubig_shr(d.mag, shift);
  dn = d;
  dd = one();
  exact::ubig_shl(dd.mag, (int)total - shift);
  return true;
}

bool fraction_det(const std::vector<SBig>& num, const std::vector<SBig>& den, int n, SBig& dn, SBig& dd) {
  if (dyadic_det(num, den, n, dn, dd)) return true;
  std::vector<SBig> m(n * n);
  SBig scale = one();
  for (int r = 0; r < n; ++r) {
    UBig lcm(1);
    for (int c = 0; c < n; ++c) {
      const UBig& d = den[r * n + c].mag;
      const UBig g = exact::ubig_gcd(lcm, d);
      const UBig q = exact::ubig_divexact(d, g);
      if (lcm.bit_length() + q.bit_length() >= kCapacityBits) return false;
      UBig t;
      exact::ubig_mul(t, lcm, q);
      lcm = t;
    }
    for (int c = 0; c < n; ++c) {
      // num * (lcm / den): exact, sign of the denominator moved up
      SBig q, v;
      q.mag = exact::ubig_divexact(lcm, den[r * n + c].mag);
      q.neg = den[r * n + c].neg;
      if (q.mag.bit_length() + num[r * n + c].mag.bit_length() >= kCapacityBits) return false;
      exact::sbig_mul(v, num[r * n + c], q);
      m[r * n + c] = v;
    }
    if (scale.mag.bit_length() + lcm.bit_length() >= kCapacityBits) return false;
    SBig t, l;
    l.mag = lcm;
    exact::sbig_mul(t, scale, l);
    scale = t;
  }
  if (!bareiss(m.data(), n, dn)) return false;
  dd = scale;
  exact::reduce_fraction(dn, dd);
  return true;
}

py::object fraction_of(const SBig& n, const SBig& d) {
  static py::handle fraction = py::object(py::module_::import("fractions").attr("Fraction")).release();
  return fraction(python::sbig_to_int(n), python::sbig_to_int(d));
}

// The same with Python integers, for entries too wide for the fixed capacity: a Fraction.
py::object python_det(const std::vector<SBig>& num, const std::vector<SBig>& den, int n) {
  std::vector<py::object> m(n * n);
  for (int i = 0; i < n * n; ++i) m[i] = fraction_of(num[i], den[i]);
  py::object det = fraction_of(one(), one());
  for (int k = 0; k < n; ++k) {
    int p = k;
    while (p < n && !PyObject_IsTrue(m[p * n + k].ptr())) ++p;
    if (p == n) return fraction_of(SBig(), one());
    if (p != k) {
      for (int j = 0; j < n; ++j) std::swap(m[k * n + j], m[p * n + j]);
      det = -det;
    }
    det = det * m[k * n + k];
    for (int i = k + 1; i < n; ++i) {
      py::object f = m[i * n + k] / m[k * n + k];
      for (int j = k; j < n; ++j) m[i * n + j] = m[i * n + j] - f * m[k * n + j];
    }
  }
  return det;
}

// A Fraction's terms in fixed width; false when either leaves the exact range.
bool narrow(const py::object& f, SBig& n, SBig& d) {
  return python::int_to_sbig(f.attr("numerator"), n) && exact::fits(n) &&
         python::int_to_sbig(f.attr("denominator"), d) && exact::fits(d);
}

// An exact fraction that may lie outside the range: the determinants inside inv and solve
// can, while the quotients made from them come back into it. Fixed width where the capacity
// holds it, else a Python Fraction.
struct Wide {
  SBig n, d;
  py::object big;
};

py::object as_fraction(const Wide& w) { return w.big ? w.big : fraction_of(w.n, w.d); }

struct Entries {
  std::vector<SBig> num, den;
  bool zero_den = false;
};

Entries entries_of(Record& r) {
  Entries e;
  if (r.num.is_cpu() && r.denom.is_cpu() && r.num.is_contiguous() && r.denom.is_contiguous()) {
    // A contiguous host record's leading rows are the blocks host_values would copy out: at a
    // few dozen entries its slicing ops cost more than reconstructing the values.
    record::ensure_bits(r);
    const int64_t count = r.elements();
    const int kn = exact::primes_for_bits(r.num_bits), kd = exact::primes_for_bits(r.den_bits);
    const int64_t *pn = r.num.const_data_ptr<int64_t>(), *pd = r.denom.const_data_ptr<int64_t>();
    // Reserved, not resized: each wide entry is two hundred bytes that would be cleared first.
    e.num.reserve(count);
    e.den.reserve(count);
    for (int64_t k = 0; k < count; ++k) {
      e.num.push_back(exact::crt_signed(pn + k, count, kn));
      e.den.push_back(exact::crt_signed(pd + k, count, kd));
      e.zero_den = e.zero_den || e.den[k].mag.is_zero();
    }
    return e;
  }
  const record::HostValues h = record::host_values(r);
  e.num.resize(h.count);
  e.den.resize(h.count);
  for (int64_t k = 0; k < h.count; ++k) {
    e.num[k] = h.num(k);
    e.den[k] = h.den(k);
    e.zero_den = e.zero_den || e.den[k].mag.is_zero();
  }
  return e;
}

Wide det_value(const Entries& e, int n) {
  Wide w;
  if (!fraction_det(e.num, e.den, n, w.n, w.d)) w.big = python_det(e.num, e.den, n);
  return w;
}

void exact_det(const Entries& e, int n, SBig& dn, SBig& dd) {
  const Wide w = det_value(e, n);
  const bool ok = w.big ? narrow(w.big, dn, dd) : (dn = w.n, dd = w.d, exact::fits(dn) && exact::fits(dd));
  if (!ok) record::raise_range_error("the determinant");
}

// x / y in lowest terms; false when that leaves the range. A zero y leaves x's numerator
// over zero, as the unreduced division does.
bool quotient(const Wide& x, const Wide& y, SBig& qn, SBig& qd) {
  const bool y_zero = y.big ? !PyObject_IsTrue(y.big.ptr()) : y.n.mag.is_zero();
  if (!x.big && !y.big && x.n.mag.bit_length() + y.d.mag.bit_length() < kCapacityBits &&
      x.d.mag.bit_length() + y.n.mag.bit_length() < kCapacityBits) {
    exact::sbig_mul(qn, x.n, y.d);
    exact::sbig_mul(qd, x.d, y.n);
    if (!y_zero) exact::reduce_fraction(qn, qd);
    return exact::fits(qn) && exact::fits(qd);
  }
  const py::object fx = as_fraction(x), fy = as_fraction(y);
  if (y_zero) {
    qd = SBig();
    return python::int_to_sbig(fx.attr("numerator"), qn) && exact::fits(qn);
  }
  return narrow(fx / fy, qn, qd);
}

py::object scalar_record(const SBig& n, const SBig& d, const at::Device& dev) {
  return record::fill_record(record::record_type(), n, d, {1}, dev, record::true_divide(n, d));
}

// ---------------------------------------------------------------- by residues

// The entries of a float- or integer-made record as +-mag / 2^e, read from its residues on the
// host; false when some entry has another form.
bool dyadic_entries_of(const Record& r, kernels::DyadicEntry* out) {
  if (kernels::launcher_for(r.num.device()) == kernels::Launcher::Generic) return false;
  const int kn = exact::primes_for_bits(r.num_bits), kd = exact::primes_for_bits(r.den_bits);
  if (kn > 2 || kd > 4) return false;  // before any copy: the kernel would refuse them
  const bool here = r.num.is_cpu() && r.denom.is_cpu() && r.num.is_contiguous() && r.denom.is_contiguous();
  const at::Tensor num = here ? r.num : record::host_residues(r.num);
  const at::Tensor den = here ? r.denom : record::host_residues(r.denom);
  const int64_t count = r.elements();
  return kernels::dyadic_entries_cpu(num.const_data_ptr<int64_t>(), den.const_data_ptr<int64_t>(), count,
                                     (int)count, kn, kd, out);
}

// ---------------------------------------------------------------- with zero denominators

// An entry n/0 leaves no lowest terms to work in: the cofactor expansion is evaluated as
// written, each step exact, each intermediate brought to lowest terms where it can be.
py::object element(const Record& r, int64_t i, int64_t j) {
  using at::indexing::Slice;
  return record::make_record(r.num.index({Slice(), i, Slice(j, j + 1)}), r.denom.index({Slice(), i, Slice(j, j + 1)}),
                             py::none(), r.num_bits, r.den_bits);
}

py::object op(FieldOp f, const py::object& a, const py::object& b) {
  return arithmetic::binary(f, record::as_record(a), record::as_record(b));
}

py::object expanded_det(const Record& r, const std::vector<int64_t>& rows, const std::vector<int64_t>& cols) {
  const size_t n = rows.size();
  if (n == 1) return element(r, rows[0], cols[0]);
  if (n == 2) {
    py::object ad = op(FieldOp::Mul, element(r, rows[0], cols[0]), element(r, rows[1], cols[1]));
    py::object bc = op(FieldOp::Mul, element(r, rows[0], cols[1]), element(r, rows[1], cols[0]));
    return op(FieldOp::Sub, ad, bc);
  }
  py::object result;
  for (size_t j = 0; j < n; ++j) {
    std::vector<int64_t> sub_rows(rows.begin() + 1, rows.end()), sub_cols;
    for (size_t c = 0; c < n; ++c)
      if (c != j) sub_cols.push_back(cols[c]);
    py::object minor = expanded_det(r, sub_rows, sub_cols);
    if (n > 3) minor = record::simplified(minor);
    py::object cofactor = op(FieldOp::Mul, element(r, rows[0], cols[j]), minor);
    result = !result ? (j % 2 ? py::reinterpret_steal<py::object>(PyNumber_Negative(cofactor.ptr())) : cofactor)
                     : op(j % 2 ? FieldOp::Sub : FieldOp::Add, result, cofactor);
    if (n > 3) result = record::simplified(result);
  }
  return result;
}

// ---------------------------------------------------------------- members

py::object determinant(Record& r) {
  if (!is_square(r)) python::raise_value_error("det requires square matrix");
  const int64_t n = r.num.size(1);
  const at::Device dev = r.num.device();
  using at::indexing::Slice;
  if (n == 1) return record::make_record(r.num.index({Slice(), 0, Slice(0, 1)}), r.denom.index({Slice(), 0, Slice(0, 1)}),
                                         py::none(), r.num_bits, r.den_bits);
  if (n > 5) python::raise_not_implemented("det only supports matrices up to 5x5");
  if (n == 0) return scalar_record(one(), one(), dev);  // the empty product
  record::ensure_bits(r);
  kernels::DyadicEntry de[kernels::kMaxSmallDet * kernels::kMaxSmallDet];
  kernels::SmallDet d;
  const bool kernel = dyadic_entries_of(r, de) && kernels::small_det_cpu(de, (int)n, d);
  kernels::count_path(kernel ? kernels::Path::DetKernel : kernels::Path::DetHost);
  if (kernel)
    return record::fill_record(record::record_type(), d.num_res, d.den_res, d.num.mag.bit_length(),
                               d.den.mag.bit_length(), {1}, dev, record::true_divide(d.num, d.den));
  Entries e = entries_of(r);
  if (e.zero_den) {
    std::vector<int64_t> idx(n);
    for (int64_t i = 0; i < n; ++i) idx[i] = i;
    return record::simplified(expanded_det(r, idx, idx));
  }
  SBig dn, dd;
  exact_det(e, (int)n, dn, dd);
  return scalar_record(dn, dd, dev);
}

py::object m_det(py::handle self, const python::Args&) {
  return determinant(record::as_record(self));
}

// The 2x2 inverse when its determinant lies outside the range but entries may not: each entry
// adj / det exactly, as the unreduced division writes it where that fits, else in lowest terms.
py::object inverse_beyond_det(const Entries& e, const Wide& det, const at::Device& dev) {
  record::ResidueWriter out(4);
  const int from[4] = {3, 1, 2, 0};  // adj = [[d, -b], [-c, a]]
  for (int k = 0; k < 4; ++k) {
    Wide x;
    x.n = e.num[from[k]];
    x.d = e.den[from[k]];
    if (k == 1 || k == 2) x.n.neg = !x.n.neg && !x.n.mag.is_zero();
    SBig qn, qd;
    if (!det.big && x.n.mag.bit_length() + det.d.mag.bit_length() < kCapacityBits &&
        x.d.mag.bit_length() + det.n.mag.bit_length() < kCapacityBits) {
      exact::sbig_mul(qn, x.n, det.d);
      exact::sbig_mul(qd, x.d, det.n);
      if (exact::fits(qn) && exact::fits(qd)) {
        out.put(k, qn, qd);
        continue;
      }
    }
    if (quotient(x, det, qn, qd)) out.put(k, qn, qd);
    else out.flag_overflow();
  }
  return out.record({2, 2}, dev, py::none(), "an entry of the inverse");
}

py::object m_inv(py::handle self, const python::Args&) {
  Record& r = record::as_record(self);
  if (!is_square(r)) python::raise_value_error("inv requires square matrix");
  const int64_t n = r.num.size(1);
  if (n == 2) {
    record::ensure_bits(r);
    const Entries e = entries_of(r);
    if (!e.zero_den) {
      const Wide w = det_value(e, 2);
      SBig dn, dd;
      if (!(w.big ? narrow(w.big, dn, dd) : (dn = w.n, dd = w.d, exact::fits(dn) && exact::fits(dd))))
        return inverse_beyond_det(e, w, r.num.device());
    }
  }
  py::object det = determinant(r);
  Record& d = record::as_record(det);
  if (n == 1) {
    return record::make_record(d.denom.view({kPrimes, 1, 1}), d.num.view({kPrimes, 1, 1}), py::none(), d.den_bits,
                               d.num_bits);
  }
  if (n != 2) python::raise_not_implemented("inv only supports matrices up to 2x2 currently");
  // The adjugate [[d, -b], [-c, a]] (negation keeps denominators), divided by the determinant.
  using at::indexing::Slice;
  auto at_ = [&](const at::Tensor& t, int i, int j) { return t.index({Slice(), Slice(i, i + 1), Slice(j, j + 1)}); };
  const at::Tensor adj_num = at::cat({at::cat({at_(r.num, 1, 1), arithmetic::negate_residues(at_(r.num, 0, 1))}, 2),
                                      at::cat({arithmetic::negate_residues(at_(r.num, 1, 0)), at_(r.num, 0, 0)}, 2)},
                                     1);
  const at::Tensor adj_den = at::cat({at::cat({at_(r.denom, 1, 1), at_(r.denom, 0, 1)}, 2),
                                      at::cat({at_(r.denom, 1, 0), at_(r.denom, 0, 0)}, 2)},
                                     1);
  py::object adj = record::make_record(adj_num, adj_den, py::none(), r.num_bits, r.den_bits);
  py::object det11 = record::make_record(d.num.view({kPrimes, 1, 1}), d.denom.view({kPrimes, 1, 1}), py::none(),
                                         d.num_bits, d.den_bits);
  return op(FieldOp::Div, adj, det11);
}

py::object m_solve(py::handle self, const python::Args& a) {
  Record& A = record::as_record(self);
  if (!is_square(A)) python::raise_value_error("solve requires square matrix A");
  const int64_t n = A.num.size(1);
  if (n > 4) python::raise_not_implemented("solve only supports systems up to 4x4");
  if (!record::is_record(a[0])) python::raise_type_error("solve() needs a ModularTensor b");
  Record& b = record::as_record(a[0]);
  const at::Tensor bn = b.num.dim() < 3 ? b.num : b.num.squeeze(-1);
  const at::Tensor bd = b.denom.dim() < 3 ? b.denom : b.denom.squeeze(-1);
  if (!(bn.dim() == 2 && bn.size(0) == kPrimes && bn.size(1) == n && bd.sizes() == bn.sizes()))
    python::raise_runtime_error(c10::str("b must hold ", n, " values, got shape ", b.num.sizes().slice(1)));
  if (n <= 0) python::raise_runtime_error("stack expects a non-empty TensorList");
  record::ensure_bits(A);
  record::ensure_bits(b);
  Record bcol;
  bcol.set_hint(py::none());
  bcol.num = bn;
  bcol.denom = bd;
  bcol.primes = b.primes;
  bcol.set_bits(b.num_bits, b.den_bits);
  const at::Device dev = A.num.device();
  record::ResidueWriter out(n);
  kernels::DyadicEntry da[kernels::kMaxSmallDet * kernels::kMaxSmallDet], db[kernels::kMaxSmallDet];
  kernels::SmallCramer cr;
  const bool kernel =
      dyadic_entries_of(A, da) && dyadic_entries_of(bcol, db) && kernels::small_cramer_cpu(da, db, (int)n, cr);
  kernels::count_path(kernel ? kernels::Path::SolveKernel : kernels::Path::SolveHost);
  if (kernel) {
    for (int64_t i = 0; i < n; ++i)
      out.put_residues(i, cr.num_res[i], cr.den_res[i], cr.num[i].mag.bit_length(), cr.den[i].mag.bit_length());
    return out.record({n}, dev, py::none(), "a component of the solution");
  }
  // One host copy of A and b; every system of Cramer's rule is built from it.
  Entries ea = entries_of(A);
  Entries eb = entries_of(bcol);
  auto det_of = [&](const Entries& e) {
    if (!e.zero_den) return det_value(e, (int)n);
    Record tmp;
    tmp.set_hint(py::none());
    tmp.num = at::empty({kPrimes, n, n}, at::kLong);
    tmp.denom = at::empty({kPrimes, n, n}, at::kLong);
    for (int64_t k = 0; k < n * n; ++k) {
      exact::residues_of(e.num[k], tmp.num.data_ptr<int64_t>() + k, n * n);
      exact::residues_of(e.den[k], tmp.denom.data_ptr<int64_t>() + k, n * n);
    }
    tmp.primes = record::record_primes_on(at::kCPU);
    py::object d = determinant(tmp);
    const record::HostValues h = record::host_values(record::as_record(d));
    Wide w;
    w.n = h.num(0);
    w.d = h.den(0);
    return w;
  };
  const Wide detA = det_of(ea);
  for (int64_t i = 0; i < n; ++i) {
    Entries ei = ea;
    for (int64_t r = 0; r < n; ++r) {
      ei.num[r * n + i] = eb.num[r];
      ei.den[r * n + i] = eb.den[r];
    }
    ei.zero_den = false;
    for (const SBig& x : ei.den) ei.zero_den = ei.zero_den || x.mag.is_zero();
    // det(A_i) / det(A) in lowest terms; either determinant may lie outside the range.
    SBig qn, qd;
    if (quotient(det_of(ei), detA, qn, qd)) out.put(i, qn, qd);
    else out.flag_overflow();
  }
  return out.record({n}, dev, py::none(), "a component of the solution");
}

py::object m_trace(py::handle self, const python::Args&) {
  Record& r = record::as_record(self);
  if (!is_square(r)) python::raise_value_error("trace requires square matrix");
  Record diag;
  diag.set_hint(py::none());
  diag.num = r.num.diagonal(0, 1, 2);
  diag.denom = r.denom.diagonal(0, 1, 2);
  diag.primes = r.primes;
  diag.device = r.device;
  diag.set_bits(r.num_bits, r.den_bits);
  return reduce::total_record(diag);
}

}  // namespace

void register_linalg(py::handle cls) {
  static const python::Def members[] = {
      python::method<m_det>("det", {},
                            "Exact determinant using LU decomposition / cofactor expansion. Only for small matrices "
                            "(n <= 4) due to complexity."),
      python::method<m_inv>("inv", {},
                            "Exact matrix inverse using adjugate method. inv(A) = adj(A) / det(A) Only for small "
                            "matrices (n <= 4)."),
      python::method<m_solve>("solve", {{"b"}},
                              "Solve linear system Ax = b exactly. Uses Cramer's rule for small systems."),
      python::method<m_trace>("trace", {}, "Exact trace of a matrix (sum of diagonal)."),
  };
  python::install(cls, members);
}

}  // namespace korvex::linalg
