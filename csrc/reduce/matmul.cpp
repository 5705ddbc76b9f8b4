#include "reduce/matmul.h"

#include <ATen/Parallel.h>
#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/pybind.h>

#include <atomic>
#include <optional>

#include "exact/crt.h"
#include "kernels/device.h"
#include "kernels/matmul_jobs.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"
#include "record/host.h"
#include "record/pool.h"
#include "reduce/exact_sum.h"
#include "reduce/hint_matmul.h"
#include "reduce/sum.h"

namespace korvex::reduce {

namespace py = pybind11;
using exact::kPrimes;
using exact::kCapacityBits;
using exact::SBig;
using exact::UBig;
using record::HostValues;
using record::Record;

namespace {

// Row and column denominators are cleared by their lcm while it stays this small.
constexpr int kLcmBits = 600;

SBig sbig_of(const UBig& u, bool neg = false) {
  SBig s;
  s.mag = u;
  s.neg = neg && !u.is_zero();
  return s;
}

// One side of the product with its denominators cleared: element (r, t) of a `rows` x `len`
// operand is num * (L_r / |den|) * sign(den), L_r the lcm of row r's denominators. Also the
// signed product R_r of the row's denominators while it fits (else `r_fits` is false).
struct Cleared {
  std::vector<SBig> value;  // rows * len
  std::vector<UBig> lcm;    // rows
  std::vector<SBig> prod;   // rows
  std::vector<char> prod_fits;
  int bits = 0;
  bool ok = true;  // false: an lcm grew past kLcmBits, or a denominator is zero
};

// `at(r, t)` gives the flat element index of row r, position t.
template <class At>
Cleared clear_denominators(const HostValues& h, int64_t rows, int64_t len, At at) {
  Cleared c;
  c.value.resize(rows * len);
  c.lcm.assign(rows, UBig(1));
  c.prod.assign(rows, sbig_of(UBig(1)));
  c.prod_fits.assign(rows, 1);
  std::atomic<int> bits{0};
  std::atomic<bool> ok{true};
  at::parallel_for(0, rows, 1, [&](int64_t b, int64_t e) {
    int lb = 0;
    std::vector<SBig> dens(len);
    for (int64_t r = b; r < e && ok; ++r) {
      UBig L(1);
      SBig P = sbig_of(UBig(1));
      bool pf = true;
      for (int64_t t = 0; t < len; ++t) {
        dens[t] = h.den(at(r, t));
        if (dens[t].mag.is_zero()) {  // no lcm to clear by: summed term by term instead
          ok = false;
          break;
        }
        const UBig g = exact::ubig_gcd(L, dens[t].mag);
        UBig q = exact::ubig_divexact(dens[t].mag, g), nl;
        exact::ubig_mul(nl, L, q);
        L = nl;
        if (L.bit_length() > kLcmBits) {
          ok = false;
          break;
        }
        if (pf) {
          if (P.mag.bit_length() + dens[t].mag.bit_length() - 1 > exact::kCongruenceBits) {
            pf = false;
          } else {
            SBig x;
            exact::sbig_mul(x, P, dens[t]);
            P = x;
          }
        }
      }
      if (!ok) break;
      for (int64_t t = 0; t < len; ++t) {
        SBig f = sbig_of(exact::ubig_divexact(L, dens[t].mag), dens[t].neg), v;
        exact::sbig_mul(v, h.num(at(r, t)), f);
        lb = std::max(lb, v.mag.bit_length());
        c.value[r * len + t] = v;
      }
      c.lcm[r] = L;
      c.prod[r] = P;
      c.prod_fits[r] = pf && exact::fits(P);
    }
    exact::atomic_max(bits, lb);
  });
  c.bits = bits;
  c.ok = ok;
  return c;
}

// X [kz, m, k] times Y [kz, k, n] modulo the first kz primes, exactly, through float64 GEMM.
// Residues are taken balanced (|r| <= (p - 1)/2 < 2^30) and X is split once more as
// x1 2^16 + x0 with |x0| <= 2^15, so every product stays within 2^45 and 256 of them sum
// exactly in a double: two GEMMs per prime (one call, both halves stacked) instead of four.
at::Tensor modular_gemm(const at::Tensor& X, const at::Tensor& Y, int kz) {
  const int64_t m = X.size(1), k = X.size(2);
  const at::Tensor p = record::primes_on(X.device()).narrow(0, 0, kz).to(at::kDouble).view({kz, 1, 1});
  auto balanced = [&](const at::Tensor& r) {
    const at::Tensor d = r.to(at::kDouble);
    return at::where(d > p * 0.5, d - p, d);
  };
  const at::Tensor x = balanced(X), y = balanced(Y);
  const at::Tensor x1 = at::round(x * (1.0 / 65536));
  const at::Tensor halves = at::cat({x1, x - x1 * 65536.0}, 1);  // [kz, 2m, k]
  at::Tensor acc;
  constexpr int64_t kBlock = 256;
  for (int64_t s = 0; s < k; s += kBlock) {
    const int64_t len = std::min(kBlock, k - s);
    const at::Tensor z = at::fmod(at::bmm(halves.narrow(2, s, len), y.narrow(1, s, len)), p);
    // |z1 2^16 + z0| < 2^47 + 2^31: still exact.
    const at::Tensor r = z.narrow(1, 0, m) * 65536.0 + z.narrow(1, m, m);
    acc = at::fmod(acc.defined() ? acc + r : r, p);
  }
  return at::where(acc < 0, acc + p, acc).to(at::kLong);
}

// Z = A~ B~ exactly, entry by entry into `z` (m * n).
bool integer_product(const Cleared& A, const Cleared& B, int64_t m, int64_t k, int64_t n, std::vector<SBig>& z) {
  z.assign(m * n, SBig());
  const int zbits = A.bits + B.bits + exact::ceil_log2(std::max<int64_t>(k, 1));
  if (zbits <= exact::kFitBits) {
    // Residues of the cleared integers for as many primes as Z needs, one GEMM per prime.
    const int kz = exact::primes_for_bits(zbits);
    at::Tensor X = at::empty({kz, m, k}, at::kLong), Y = at::empty({kz, k, n}, at::kLong);
    int64_t *px = X.data_ptr<int64_t>(), *py_ = Y.data_ptr<int64_t>();
    at::parallel_for(0, m * k, 256, [&](int64_t b, int64_t e) {
      int64_t res[kPrimes];
      for (int64_t i = b; i < e; ++i) {
        exact::residues_of(A.value[i], res, 1, kz);
        for (int j = 0; j < kz; ++j) px[j * m * k + i] = res[j];
      }
    });
    at::parallel_for(0, k * n, 256, [&](int64_t b, int64_t e) {
      int64_t res[kPrimes];
      for (int64_t i = b; i < e; ++i) {
        exact::residues_of(B.value[(i % n) * k + i / n], res, 1, kz);
        for (int j = 0; j < kz; ++j) py_[j * k * n + i] = res[j];
      }
    });
    const at::Tensor Z = modular_gemm(X, Y, kz).contiguous();
    const int64_t* pz = Z.data_ptr<int64_t>();
    at::parallel_for(0, m * n, 256, [&](int64_t b, int64_t e) {
      for (int64_t i = b; i < e; ++i) z[i] = exact::crt_signed(pz + i, m * n, kz);
    });
    return true;
  }
  if (zbits >= kCapacityBits) return false;
  at::parallel_for(0, m * n, 1, [&](int64_t b, int64_t e) {
    for (int64_t idx = b; idx < e; ++idx) {
      const int64_t i = idx / n, j = idx % n;
      SBig acc, t, s;
      for (int64_t q = 0; q < k; ++q) {
        exact::sbig_mul(t, A.value[i * k + q], B.value[j * k + q]);
        exact::sbig_add(s, acc, t, false);
        acc = s;
      }
      z[idx] = acc;
    }
  });
  return true;
}

// The documented entry where it fits: numerator Z u_i v_j over R_i C_j, where u_i = R_i / L_i.
// Otherwise lowest terms of Z / (L_i L'_j).
void emit_cleared(const Cleared& A, const Cleared& B, const std::vector<SBig>& z, int64_t m, int64_t n, record::ResidueWriter& out) {
  at::parallel_for(0, m * n, 64, [&](int64_t b, int64_t e) {
    for (int64_t idx = b; idx < e; ++idx) {
      const int64_t i = idx / n, j = idx % n;
      if (A.prod_fits[i] && B.prod_fits[j] &&
          A.prod[i].mag.bit_length() + B.prod[j].mag.bit_length() - 1 <= exact::kCongruenceBits) {
        SBig D, u = sbig_of(exact::ubig_divexact(A.prod[i].mag, A.lcm[i]), A.prod[i].neg),
                v = sbig_of(exact::ubig_divexact(B.prod[j].mag, B.lcm[j]), B.prod[j].neg), uv, N;
        exact::sbig_mul(D, A.prod[i], B.prod[j]);
        exact::sbig_mul(uv, u, v);
        if (exact::fits(D) && z[idx].mag.bit_length() + uv.mag.bit_length() - 1 <= exact::kCongruenceBits) {
          exact::sbig_mul(N, z[idx], uv);
          if (exact::fits(N)) {
            out.put(idx, N, D);
            continue;
          }
        }
      }
      SBig N = z[idx], D;
      exact::ubig_mul(D.mag, A.lcm[i], B.lcm[j]);
      exact::reduce_fraction(N, D);
      out.put(idx, N, D);
    }
  });
}

// The denominator of the product a[i, q] * b[q, j].
SBig term_den(const HostValues& ha, const HostValues& hb, int64_t i, int64_t q, int64_t j, int64_t k, int64_t n) {
  SBig pd;
  exact::sbig_mul(pd, ha.den(i * k + q), hb.den(q * n + j));
  return pd;
}

// Every entry summed term by term, in lowest terms: for zero denominators (an entry n/0 keeps
// only its sign, as sums do) and for rows or columns whose denominators share no small lcm.
void emit_by_terms(const HostValues& ha, const HostValues& hb, int64_t m, int64_t k, int64_t n, int scale, record::ResidueWriter& out,
                   std::vector<char>& redo) {
  at::parallel_for(0, m * n, 1, [&](int64_t b, int64_t e) {
    for (int64_t idx = b; idx < e; ++idx) {
      const int64_t i = idx / n, j = idx % n;
      ExactSum s(scale);
      for (int64_t q = 0; q < k && !s.overflowed(); ++q) {
        SBig pn;
        exact::sbig_mul(pn, ha.num(i * k + q), hb.num(q * n + j));
        s.add(pn, term_den(ha, hb, i, q, j, k, n));
      }
      SBig N, D;
      if (!s.finish(N, D)) {
        redo[idx] = 1;
        continue;
      }
      keep_unreduced(k, [&](int64_t q) { return term_den(ha, hb, i, q, j, k, n); }, N, D);
      out.put(idx, N, D);
    }
  });
}

// ------------------------------------------------------------------ dyadic operands

// The leading k primes of an operand as rows (of A) or columns (of B), read through their own
// strides. The CPU reads each row in order, so there a row that is not contiguous (a column
// of B, a transposed A) is first copied into place.
struct OperandRows {
  at::Tensor t;  // the copy's, unless it lies in the job's scratch
  kernels::StridedResidues r;
};

OperandRows operand_rows(const at::Tensor& residues, int k, bool columns, kernels::Launcher l) {
  const int64_t rows = residues.size(columns ? 2 : 1), len = residues.size(columns ? 1 : 2);
  const int64_t sr = residues.stride(columns ? 2 : 1), st = residues.stride(columns ? 1 : 2);
  OperandRows o{at::Tensor(), {residues.data_ptr<int64_t>(), residues.stride(0), sr, st}};
  if (l != kernels::Launcher::Cpu || st == 1 || len == 1) return o;
  int64_t* dst = kernels::take_scratch(k * rows * len);
  if (!dst) {
    o.t = record::empty_residues({k, rows, len}, residues.device());
    dst = o.t.data_ptr<int64_t>();
  }
  kernels::rows_in_order_cpu(o.r, k, rows, len, dst);
  o.r = {dst, rows * len, len, 1};
  return o;
}

// The product of operands whose denominators are all +-2^e, without their values leaving the
// device; false (and nothing made) where the host path must decide: another denominator, a
// row lcm past kLcmBits, or an integer product past the range. Its decisions are the host
// path's, so the entries are the same to the last residue.
bool dyadic_matmul(Record& x, Record& y, int64_t m, int64_t k, int64_t n, py::object& hint, py::object& result) {
  const at::Device dev = x.num.device();
  const kernels::Launcher l = kernels::launcher_for(dev);
  if (l == kernels::Launcher::Generic || y.num.device() != dev || m * n == 0) return false;
  const int akn = exact::primes_for_bits(x.num_bits), akd = exact::primes_for_bits(x.den_bits);
  const int bkn = exact::primes_for_bits(y.num_bits), bkd = exact::primes_for_bits(y.den_bits);
  at::Tensor on, od;
  kernels::FinishStats st;
  {
    py::gil_scoped_release nogil;
    // The side terms and the operands' copies of a small product in this thread's scratch.
    const kernels::ScratchScope scratch;
    kernels::SideTerms A, B;
    // The numerators' rows stay for the cleared operands, which read as many primes or fewer
    // where the GEMM's values are small: B's columns are then copied once.
    OperandRows n1 = operand_rows(x.num, akn, false, l), n2;
    {
      const OperandRows d1 = operand_rows(x.denom, akd, false, l);
      A = kernels::side_terms(l, n1.r, d1.r, m, k, akn, akd, dev);
      if (!A.dyadic || A.max_L > kernels::kMaxRowShift) return false;
      n2 = operand_rows(y.num, bkn, true, l);
      const OperandRows d2 = operand_rows(y.denom, bkd, true, l);
      B = kernels::side_terms(l, n2.r, d2.r, n, k, bkn, bkd, dev);
      if (!B.dyadic || B.max_L > kernels::kMaxRowShift) return false;
    }
    static_assert(kernels::kMaxRowShift + 1 <= kLcmBits, "the cleared rows are the host path's");
    // The host path's bound decides whether this path runs at all; the GEMM needs only the
    // bits left once each row's shared power of two is divided out.
    if (A.bits + B.bits + exact::ceil_log2(k) > exact::kFitBits) return false;
    const int gbits = A.gemm_bits + B.gemm_bits + exact::ceil_log2(k);
    // Cleared values below 2^29 are their own balanced residues, and when every sum of
    // their products stays below 2^53 one float64 GEMM of them is Z' itself.
    const bool direct = gbits <= 53 && A.gemm_bits <= kernels::kDirectBits && B.gemm_bits <= kernels::kDirectBits;
    const int kz = direct ? 1 : exact::primes_for_bits(gbits);
    // Up to 2^16 multiplications (float products to n = 16, small integers to n = 40) the CPU's
    // own loop; beyond, at::bmm is faster.
    const bool small = l == kernels::Launcher::Cpu && (direct || k <= kernels::kGemmBlock) &&
                       (direct ? 1 : 2) * kz * m * n * k <= (int64_t(1) << 16);
    // Where the side terms formed both direct operands, the cleared ones are not made again.
    const bool formed = direct && small && A.cleared && B.cleared;
    // The operands' and accumulators' buffers from the residue pool too: at n = 128 and above
    // fresh pages cost as much as the GEMM.
    at::Tensor XA, XB;
    if (!formed) {
      XA = record::empty_residues({kz, (direct ? 1 : 2) * m, k}, dev, at::kDouble);
      XB = record::empty_residues({kz, n, k}, dev, at::kDouble);
      if (kz > akn) n1 = operand_rows(x.num, kz, false, l);
      if (kz > bkn) n2 = operand_rows(y.num, kz, true, l);
      kernels::cleared_operand(l, n1.r, m, k, kz, A, !direct, XA);
      kernels::cleared_operand(l, n2.r, n, k, kz, B, false, XB);
    }
    at::Tensor acc;
    if (direct && small) {
      acc = record::empty_residues({1, m * n}, dev, at::kDouble);
      kernels::small_gemm_cpu(formed ? A.cleared : XA.data_ptr<double>(), formed ? B.cleared : XB.data_ptr<double>(),
                              1, m, k, n, acc.data_ptr<double>());
    } else if (direct) {
      acc = at::bmm(XA, XB.transpose(1, 2)).view({1, m * n});
    } else if (small) {
      acc = record::empty_residues({kz, m * n}, dev);
      at::Tensor z = record::empty_residues({kz, 2 * m, n}, dev, at::kDouble);
      kernels::small_gemm_cpu(XA.data_ptr<double>(), XB.data_ptr<double>(), kz, 2 * m, k, n, z.data_ptr<double>());
      kernels::fold_block(l, z, kz, m, n, true, acc);
    } else {
      acc = record::empty_residues({kz, m * n}, dev);
      for (int64_t s = 0; s < k; s += kernels::kGemmBlock) {
        const int64_t len = std::min(kernels::kGemmBlock, k - s);
        const at::Tensor z = at::bmm(XA.narrow(2, s, len), XB.narrow(2, s, len).transpose(1, 2)).contiguous();
        kernels::fold_block(l, z, kz, m, n, s == 0, acc);
      }
    }
    // The result's rows from the pool: fresh pages of a large product cost more to fault in
    // than its entries take to finish.
    on = record::empty_residues({kPrimes, m, n}, dev);
    od = record::empty_residues({kPrimes, m, n}, dev);
    st = kernels::finish_entries(l, acc, kz, direct, m, n, A, B, on, od);
  }
  if (!st.fits) record::raise_range_error("an entry of the exact product");
  result = record::make_record(on, od, hint, st.num_bits, st.den_bits);
  return true;
}

py::object m_matmul(py::handle self, const python::Args& a) {
  Record& x = record::as_record(self);
  py::handle other = a[0];
  if (x.num.dim() != 3) python::raise_value_error("matmul requires 2D tensors");
  // A record's rank is read from its residues: the Python attribute costs as much as a small
  // product's arithmetic.
  const bool is_rec = record::is_record(other);
  if (is_rec ? record::as_record(other).num.dim() != 3 : py::len(other.attr("shape")) != 2)
    python::raise_value_error("matmul requires 2D tensors");
  if (!is_rec) python::raise_type_error("matmul() needs a ModularTensor, got " + python::type_name(other));
  Record& y = record::as_record(other);
  const int64_t m = x.num.size(1), k = x.num.size(2), n = y.num.size(2);
  if (k != y.num.size(1)) {
    py::object s1 = py::module_::import("builtins").attr("format")(self.attr("shape"), "");
    py::object s2 = py::module_::import("builtins").attr("format")(other.attr("shape"), "");
    python::raise_value_error("Shape mismatch: " + s1.cast<std::string>() + " vs " + s2.cast<std::string>());
  }
  py::object hint = py::none();
  if (!x.hint().is_none() && !y.hint().is_none()) {
    // Tensors' product in C++ (hint_matmul: torch.matmul's result, small CPU matrices by the
    // BLAS call it makes), as the field operations form their hints; anything else through
    // torch.matmul itself.
    if (THPVariable_Check(x.hint().ptr()) && THPVariable_Check(y.hint().ptr())) {
      const at::Tensor &ha = THPVariable_Unpack(x.hint().ptr()), &hb = THPVariable_Unpack(y.hint().ptr());
      // Below autograd where neither hint asks for gradients, forward or backward: its layers
      // cost a small product as much as its own GEMM, and have nothing to record there.
      std::optional<at::AutoDispatchBelowADInplaceOrView> below;
      if (!ha.requires_grad() && !hb.requires_grad() && !ha._fw_grad(0).defined() && !hb._fw_grad(0).defined())
        below.emplace();
      hint = py::cast(hint_matmul(ha, hb));
    } else
      hint = py::module_::import("torch").attr("matmul")(x.hint(), y.hint());
  }
  record::ensure_bits(x);
  record::ensure_bits(y);
  const at::Device dev = x.num.device();
  if (k == 0) {
    SBig zero, one = sbig_of(UBig(1));
    return record::fill_record(record::record_type(), zero, one, {m, n}, dev, 0.0);
  }
  py::object product;
  const bool kernel = dyadic_matmul(x, y, m, k, n, hint, product);
  kernels::count_path(kernel ? kernels::Path::MatmulKernel : kernels::Path::MatmulHost);
  if (kernel) return product;
  const HostValues ha = record::host_values(x), hb = record::host_values(y);
  record::ResidueWriter out(m * n);
  std::vector<char> redo(m * n, 0);
  {
    py::gil_scoped_release nogil;
    Cleared A, B;
    std::vector<SBig> z;
    bool done = false;
    {
      A = clear_denominators(ha, m, k, [&](int64_t r, int64_t t) { return r * k + t; });
      B = A.ok ? clear_denominators(hb, n, k, [&](int64_t c, int64_t t) { return t * n + c; }) : Cleared{};
      if (A.ok && B.ok && integer_product(A, B, m, k, n, z)) {
        emit_cleared(A, B, z, m, n, out);
        done = true;
      }
    }
    if (!done) emit_by_terms(ha, hb, m, k, n, std::min(x.den_bits + y.den_bits, kCapacityBits / 2), out, redo);
  }
  for (int64_t idx = 0; idx < m * n; ++idx) {
    if (!redo[idx]) continue;
    const int64_t i = idx / n, j = idx % n;
    SBig N, D;
    python_sum(k, [&](int64_t q, SBig& pn, SBig& pd) {
      exact::sbig_mul(pn, ha.num(i * k + q), hb.num(q * n + j));
      exact::sbig_mul(pd, ha.den(i * k + q), hb.den(q * n + j));
    }, N, D);
    keep_unreduced(k, [&](int64_t q) { return term_den(ha, hb, i, q, j, k, n); }, N, D);
    out.put(idx, N, D);
  }
  return out.record({m, n}, dev, hint, "an entry of the exact product");
}

}  // namespace

void register_matmul(py::handle cls) {
  static const python::Def members[] = {
      python::method<m_matmul>("matmul", {{"other"}},
                               "Exact matrix multiplication using parallel operations. C[i,j] = sum_k(A[i,k] * "
                               "B[k,j]) All (i,j) output elements computed in parallel. Each dot product uses "
                               "parallel tree reduction."),
  };
  python::install(cls, members);
}

}  // namespace korvex::reduce
