#include "record/floats.h"

#include <ATen/Parallel.h>
#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/pybind.h>

#include <cmath>
#include <cstring>

#include "exact/crt.h"
#include "kernels/exact_elements.h"
#include "kernels/exact_jobs.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"
#include "record/host.h"
#include "record/pool.h"

namespace korvex::record {

using exact::kPrimes;
using u64 = std::uint64_t;

namespace {

using kernels::kMaxDenShift;
using kernels::kMaxShift;
using kernels::largest_fitting_double;

// The table of powers of two as int64 for the ATen path's gather.
const at::Tensor& pow2_on(const at::Device& device) {
  return kernels::device_table(kernels::Table::Pow2Long, device, [] { return kernels::pow2_table_on(at::kCPU).to(at::kLong); });
}

struct Ingested {
  at::Tensor num, den;
  int64_t first_fault = -1;  // row-major index of the first element that cannot be taken
  int num_bits = 0, den_bits = 0;
};

// The element code on the CPU or a CUDA device: x already on `device`.
Ingested ingest_kernels(const at::Tensor& x, kernels::Launcher launcher) {
  const int64_t n = x.numel();
  at::Tensor v;
  if (at::isFloatingType(x.scalar_type())) v = x.to(at::kDouble);
  else if (x.scalar_type() == at::kUInt64) v = x;
  else v = x.to(at::kLong);
  v = v.contiguous();
  Ingested res;
  res.num = empty_residues({kPrimes, n}, x.device());
  res.den = empty_residues({kPrimes, n}, x.device());
  kernels::IngestStats s;
  (void)launcher;  // only a CUDA build has a second launcher
#ifdef KORVEX_WITH_CUDA
  if (launcher == kernels::Launcher::Cuda) s = kernels::ingest_cuda(v, res.num, res.den);
  else
#endif
    s = kernels::ingest_cpu(v, res.num, res.den);
  res.first_fault = s.first_fault;
  res.num_bits = s.num_bits;
  res.den_bits = s.den_bits;
  return res;
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
  if (std::isnan(v)) python::raise_value_error("cannot convert NaN to integer ratio");
  if (std::isinf(v)) python::raise_overflow_error("cannot convert Infinity to integer ratio");
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
    python::raise_type_error("from_tensor() needs a torch.Tensor, got " + python::type_name(a[0]));
  const at::Tensor moved = THPVariable_Unpack(moved_obj.ptr());
  if (at::isComplexType(moved.scalar_type()))
    python::raise_type_error("float() argument must be a real number, not 'complex'");
  const at::Device device = moved.device();
  primes_on(device);
  Ingested in;
  {
    py::gil_scoped_release nogil;
    const kernels::Launcher launcher = kernels::launcher_for(device);
    if (launcher != kernels::Launcher::Generic) in = ingest_kernels(moved, launcher);
    // uint64 beyond 2^63 has no int64 image for the ATen formulas: taken in on the host.
    else if (moved.scalar_type() == at::kUInt64) in = ingest_kernels(moved.cpu(), kernels::Launcher::Cpu);
    else in = ingest_aten(moved);
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
  std::vector<int64_t> shape = r.shape();
  if (shape.empty()) shape.push_back(1);
#ifdef KORVEX_WITH_CUDA
  if (kernels::launcher_for(r.num.device()) == kernels::Launcher::Cuda) {
    const kernels::Rows rows = value_rows(r);
    at::Tensor out = at::empty({rows.size()}, rows.num.options().dtype(at::kFloat));
    kernels::to_float_cuda(rows.num, rows.den, rows.kn, rows.kd, out);
    return out.view(shape);
  }
#endif
  // Every other device rounds a host copy of the rows the bound needs.
  const HostValues h = host_values(r);
  at::Tensor out = at::empty({h.count}, at::kFloat);
  {
    py::gil_scoped_release nogil;
    kernels::to_float_cpu(h.n, h.d, h.kn, h.kd, out);
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
