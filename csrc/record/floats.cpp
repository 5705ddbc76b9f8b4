#include "record/floats.h"

#include <ATen/Parallel.h>
#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/pybind.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <map>

#include "exact/crt.h"
#include "exact/rounding.h"
#include "python/args.h"
#include "python/table.h"
#include "record/host.h"
#include "record/pool.h"

namespace korvex::record {

using exact::kPrimes;
using u64 = std::uint64_t;

namespace {

// Exponents of two that a double can carry: 2^971 in a numerator, 2^1074 in a denominator.
constexpr int kMaxShift = 1074;
// A denominator 2^b fits while b <= 618; 2^619 is already past (M - 1)/2.
constexpr int kMaxDenShift = exact::kFitBits;

using Pow2Table = std::array<std::array<std::uint32_t, kMaxShift + 1>, kPrimes>;

const Pow2Table& pow2_table() {
  static const Pow2Table* t = [] {
    auto* table = new Pow2Table;
    for (int j = 0; j < kPrimes; ++j) {
      u64 v = 1;
      for (int k = 0; k <= kMaxShift; ++k) {
        (*table)[j][k] = (std::uint32_t)v;
        v = (v << 1) % (u64)exact::kModuli[j];
      }
    }
    return table;
  }();
  return *t;
}

// The same table as a [N_PRIMES, 1075] int64 tensor on `device`, for the ATen path.
const at::Tensor& pow2_on(const at::Device& device) {
  static auto* cache = new std::map<std::string, at::Tensor>();
  const std::string key = device.str();
  auto it = cache->find(key);
  if (it != cache->end()) return it->second;
  at::Tensor t = at::empty({kPrimes, kMaxShift + 1}, at::kLong);
  const Pow2Table& tab = pow2_table();
  for (int j = 0; j < kPrimes; ++j)
    for (int k = 0; k <= kMaxShift; ++k) t[j][k].fill_((int64_t)tab[j][k]);
  return cache->emplace(key, t.to(device)).first->second;
}

// The largest double not above (M - 1)/2: a double x with x >= 2^52 fits exactly when |x| <= this.
double largest_fitting_double() {
  const exact::UBig& h = exact::constants().half_M;
  exact::UBig top = h;
  const int drop = h.bit_length() - 53;
  exact::ubig_shr(top, drop);
  return std::ldexp((double)top.w[0], drop);
}

enum Fault : std::uint8_t { kNone = 0, kInfinite, kNaN, kOutOfRange };

// value = (neg ? -m : m) * 2^a / 2^b
struct Dyadic {
  u64 m;
  int a, b;
  bool neg;
};

inline Fault dyadic_of_double(double v, double max_fit, Dyadic& out) {
  u64 bits;
  std::memcpy(&bits, &v, 8);
  const int biased = (int)((bits >> 52) & 2047);
  u64 m = bits & ((1ull << 52) - 1);
  out.neg = (bits >> 63) != 0;
  if (biased == 2047) {
    out = Dyadic{0, 0, 0, false};
    return m ? kNaN : kInfinite;
  }
  int e;
  if (biased == 0) {
    e = -1074;
  } else {
    m |= 1ull << 52;
    e = biased - 1075;
  }
  if (m == 0) e = 0;
  out.neg = out.neg && m != 0;
  if (e < -kMaxDenShift) {
    // Too small as documented (its denominator would be past the range); the same value in
    // lowest terms may still fit.
    const int t = __builtin_ctzll(m);
    m >>= t;
    e += t;
  }
  out.m = m;
  out.a = e > 0 ? e : 0;
  out.b = e < 0 ? -e : 0;
  if (e < -kMaxDenShift || (e > 0 && std::fabs(v) > max_fit)) {
    out = Dyadic{0, 0, 0, false};
    return kOutOfRange;
  }
  return kNone;
}

inline void dyadic_of_integer(u64 mag, bool neg, Dyadic& out) {
  const int len = mag ? 64 - __builtin_clzll(mag) : 0;
  const int shift = mag && len < 53 ? 53 - len : 0;
  out = Dyadic{mag, shift, shift, neg && mag != 0};
}

// m mod p for any 64-bit m (Barrett takes operands below 2^62).
inline u64 reduce_word(const exact::ModP& mod, u64 m) {
  if (m < (1ull << 62)) return mod.reduce(m);
  const u64 hi = mod.reduce(m >> 31), lo = mod.reduce(m & ((1ull << 31) - 1));
  return mod.add(mod.mul(hi, mod.reduce(1ull << 31)), lo);
}

struct Ingested {
  at::Tensor num, den;
  int64_t first_fault = -1;  // row-major index of the first element that cannot be taken
  int num_bits = 0, den_bits = 0;
};

// Decomposes element k with `decompose(k, out) -> Fault`, then writes the residues of all
// primes, a block of elements at a time so that each prime's row is written contiguously.
template <class Decompose>
Ingested ingest_cpu(int64_t n, Decompose decompose) {
  Ingested res;
  res.num = empty_residues({kPrimes, n}, at::kCPU);
  res.den = empty_residues({kPrimes, n}, at::kCPU);
  int64_t* on = res.num.data_ptr<int64_t>();
  int64_t* od = res.den.data_ptr<int64_t>();
  const auto& mods = exact::constants().mod;
  const Pow2Table& tab = pow2_table();
  std::atomic<int64_t> first{n};
  std::atomic<int> nb{0}, db{1};
  constexpr int64_t kBlock = 256;
  at::parallel_for(0, n, 4 * kBlock, [&](int64_t begin, int64_t end) {
    Dyadic d[kBlock];
    int lnb = 0, ldb = 1;
    for (int64_t blk = begin; blk < end; blk += kBlock) {
      const int64_t cnt = std::min(kBlock, end - blk);
      for (int64_t i = 0; i < cnt; ++i) {
        if (decompose(blk + i, d[i]) != kNone) {
          int64_t cur = first.load();
          while (blk + i < cur && !first.compare_exchange_weak(cur, blk + i)) {}
        }
        if (d[i].m) lnb = std::max(lnb, 64 - __builtin_clzll(d[i].m) + d[i].a);
        ldb = std::max(ldb, d[i].b + 1);
      }
      for (int j = 0; j < kPrimes; ++j) {
        const exact::ModP& mod = mods[j];
        const std::uint32_t* pw = tab[j].data();
        int64_t* rn = on + j * n + blk;
        int64_t* rd = od + j * n + blk;
        for (int64_t i = 0; i < cnt; ++i) {
          u64 r = mod.mul(reduce_word(mod, d[i].m), pw[d[i].a]);
          if (d[i].neg && r) r = mod.p - r;
          rn[i] = (int64_t)r;
          rd[i] = (int64_t)pw[d[i].b];
        }
      }
    }
    exact::atomic_max(nb, lnb);
    exact::atomic_max(db, ldb);
  });
  if (first.load() < n) res.first_fault = first.load();
  res.num_bits = nb.load();
  res.den_bits = db.load();
  return res;
}

Ingested ingest_on_cpu(const at::Tensor& x) {
  const int64_t n = x.numel();
  if (at::isFloatingType(x.scalar_type())) {
    const at::Tensor xd = x.to(at::kDouble).contiguous();
    const double* p = xd.data_ptr<double>();
    const double max_fit = largest_fitting_double();
    return ingest_cpu(n, [&](int64_t k, Dyadic& d) { return dyadic_of_double(p[k], max_fit, d); });
  }
  if (x.scalar_type() == at::kUInt64) {
    const at::Tensor xu = x.contiguous();
    const u64* p = xu.data_ptr<u64>();
    return ingest_cpu(n, [&](int64_t k, Dyadic& d) {
      dyadic_of_integer(p[k], false, d);
      return kNone;
    });
  }
  const at::Tensor xl = x.to(at::kLong).contiguous();
  const int64_t* p = xl.data_ptr<int64_t>();
  return ingest_cpu(n, [&](int64_t k, Dyadic& d) {
    const int64_t v = p[k];
    dyadic_of_integer(v < 0 ? 0 - (u64)v : (u64)v, v < 0, d);
    return kNone;
  });
}

// The same decomposition as ATen operations on the tensor's own device: no host work per
// element, one read-back of three numbers (first fault, bounds).
Ingested ingest_aten(const at::Tensor& x) {
  const at::Device dev = x.device();
  const int64_t n = x.numel();
  const auto lopt = at::TensorOptions().dtype(at::kLong).device(dev);
  at::Tensor m, a, b, nbits, fault;
  if (at::isFloatingType(x.scalar_type())) {
    const at::Tensor xd = x.to(at::kDouble).reshape({-1});
    const at::Tensor bits = xd.view(at::kLong);
    const at::Tensor biased = bits.bitwise_right_shift(52).bitwise_and(2047);
    const at::Tensor frac = bits.bitwise_and((int64_t(1) << 52) - 1);
    const at::Tensor sub = biased.eq(0);
    m = at::where(sub, frac, frac.bitwise_or(int64_t(1) << 52));
    at::Tensor e = at::where(sub, at::full({}, -1074, lopt), biased - 1075);
    e = at::where(m.eq(0), at::zeros({}, lopt), e);
    const at::Tensor tiny = e.lt(-kMaxDenShift);
    const at::Tensor low = at::where(tiny, m.bitwise_and(m.neg()), at::ones({}, lopt));
    const at::Tensor t = at::log2(low.to(at::kDouble)).round().to(at::kLong);
    m = at::where(tiny, m.bitwise_right_shift(t), m);
    e = at::where(tiny, e + t, e);
    fault = biased.eq(2047).logical_or(e.lt(-kMaxDenShift))
                .logical_or(e.gt(0).logical_and(xd.abs().gt(largest_fitting_double())));
    a = e.clamp(0, kMaxShift);
    b = e.neg().clamp(0, kMaxShift);
    nbits = std::get<1>(at::frexp(m.to(at::kDouble))).to(at::kLong) + a;
    nbits = at::where(m.eq(0), at::zeros({}, lopt), nbits);
    m = at::where(bits.lt(0), m.neg(), m);
  } else {
    m = x.to(at::kLong).reshape({-1});
    // Exact below 2^53, where the shift matters; above it the length only bounds from above.
    const at::Tensor len = std::get<1>(at::frexp(m.to(at::kDouble).abs())).to(at::kLong);
    a = at::where(m.eq(0), at::zeros({}, lopt), (53 - len).clamp_min(0));
    b = a;
    nbits = len + a;
  }
  const at::Tensor p = primes_on(dev).view({kPrimes, 1});
  const at::Tensor& pw = pow2_on(dev);
  Ingested res;
  res.num = (m.unsqueeze(0).remainder(p) * pw.gather(1, a.unsqueeze(0).expand({kPrimes, n}))).remainder(p);
  res.den = pw.gather(1, b.unsqueeze(0).expand({kPrimes, n}));
  if (n == 0) return res;
  at::Tensor first = fault.defined() ? at::where(fault, at::arange(n, lopt), at::full({}, n, lopt)).min()
                                     : at::full({}, n, lopt);
  const at::Tensor stats = at::stack({first, nbits.max(), b.max() + 1}).cpu();
  const int64_t* s = stats.data_ptr<int64_t>();
  if (s[0] < n) res.first_fault = s[0];
  res.num_bits = (int)s[1];
  res.den_bits = (int)s[2];
  return res;
}

[[noreturn]] void raise_fault(const at::Tensor& x, int64_t index) {
  const double v = x.reshape({-1})[index].item<double>();
  if (std::isnan(v)) throw py::value_error("cannot convert NaN to integer ratio");
  if (std::isinf(v)) {
    PyErr_SetString(PyExc_OverflowError, "cannot convert Infinity to integer ratio");
    throw py::error_already_set();
  }
  char* text = PyOS_double_to_string(v, 'r', 0, 0, nullptr);
  const std::string what = "the value " + std::string(text) + " of element " + std::to_string(index);
  PyMem_Free(text);
  raise_range_error(what.c_str());
}

// ---------------------------------------------------------------- members

py::object m_from_tensor(py::handle cls, const python::Args& a) {
  py::handle dev_obj = a[1];
  const std::string dev_s = python::coerce_str(dev_obj, "device");
  py::object moved_obj = py::reinterpret_borrow<py::object>(a[0]).attr("to")(dev_obj);
  if (!THPVariable_Check(moved_obj.ptr()))
    throw py::type_error("from_tensor() needs a torch.Tensor, got " + python::type_name(a[0]));
  const at::Tensor moved = THPVariable_Unpack(moved_obj.ptr());
  if (at::isComplexType(moved.scalar_type()))
    throw py::type_error("float() argument must be a real number, not 'complex'");
  const at::Device device = moved.device();
  primes_on(device);
  Ingested in;
  {
    py::gil_scoped_release nogil;
    const bool host = device.is_cpu() && !generic_kernels_only();
    in = host || moved.scalar_type() == at::kUInt64 ? ingest_on_cpu(moved.cpu()) : ingest_aten(moved);
  }
  if (in.first_fault >= 0) raise_fault(moved, in.first_fault);
  std::vector<int64_t> full{kPrimes};
  for (int64_t s : moved.sizes()) full.push_back(s);
  at::Tensor num = in.num.to(device).view(full), den = in.den.to(device).view(full);
  // x.float(): the caller's own tensor object when it already is float32 on this device.
  py::object hint = moved_obj.attr("float")();
  if (cls.ptr() == record_type().ptr()) return make_record(num, den, hint, in.num_bits, in.den_bits);
  py::object obj = py::reinterpret_borrow<py::object>(cls)(num, den, record_primes_on(device), hint);
  if (is_record(obj)) {
    Record& r = as_record(obj);
    if (r.num.is_same(num) && r.denom.is_same(den)) {
      r.set_bits(in.num_bits, in.den_bits);
    }
  }
  return obj;
}

py::object m_to_float(py::handle self, const python::Args&) {
  return py::cast(float_image(as_record(self)));
}

py::object f_ieee754_decompose(py::handle, const python::Args& a) {
  const double v = PyFloat_AsDouble(a[0].ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  if (v == 0.0) return py::make_tuple(0, 0);
  u64 bits;
  std::memcpy(&bits, &v, 8);
  const int biased = (int)((bits >> 52) & 2047);
  const u64 frac = bits & ((1ull << 52) - 1);
  // The exponent field 2047 is read like any other: inf is 2^52 * 2^972.
  const int64_t m = (int64_t)(biased == 0 ? frac : frac | (1ull << 52));
  const int exponent = biased == 0 ? -1074 : biased - 1075;
  return py::make_tuple((bits >> 63) ? -m : m, exponent);
}

}  // namespace

at::Tensor float_image(Record& r) {
  const HostValues h = host_values(r);
  std::vector<int64_t> shape = r.shape();
  if (shape.empty()) shape.push_back(1);
  at::Tensor out = at::empty({h.count}, at::kFloat);
  float* po = out.data_ptr<float>();
  {
    py::gil_scoped_release nogil;
    at::parallel_for(0, h.count, 1024, [&](int64_t begin, int64_t end) {
      for (int64_t k = begin; k < end; ++k) po[k] = exact::ratio_to_float(h.num(k), h.den(k));
    });
  }
  out = out.view(shape);
  return r.num.is_cpu() ? out : out.to(r.num.device());
}

void register_floats(py::module_& m, py::handle cls) {
  static const python::Def members[] = {
      python::classmethod<m_from_tensor>(
          "from_tensor", {{"x"}, {"device", "'cuda'"}},
          "Create from float tensor with TRUE ZERO error. Uses IEEE754 decomposition to avoid overflow: "
          "- Extract mantissa (always < 2^53, fits in int64) - Compute 2^exponent mod p via modular "
          "exponentiation (never exceeds p) This works for ANY float value, not just small ones."),
      python::method<m_to_float>("to_float", {},
                                 "Convert to float tensor using exact CRT reconstruction. Always reconstructs from "
                                 "modular residues to ensure TRUE ZERO error. The _approx field is only used as a "
                                 "hint, never returned directly, because arithmetic operations may have made it "
                                 "inaccurate."),
      python::function<f_ieee754_decompose>(
          "_ieee754_decompose", {{"x"}},
          "Decompose float64 into exact (mantissa_int, exponent). x = mantissa_int * 2^exponent "
          "(exactly, no approximation) mantissa_int is always < 2^53, so it fits in int64. This "
          "avoids overflow that occurs with fixed 2^52 scaling."),
  };
  python::install(cls, m, members);
}

}  // namespace korvex::record
