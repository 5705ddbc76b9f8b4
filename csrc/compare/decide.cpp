#include "compare/decide.h"

#include <ATen/Parallel.h>
#include <torch/csrc/utils/pybind.h>


#include "exact/crt.h"
#include "kernels/device.h"
#include "kernels/exact_jobs.h"

namespace korvex::compare {

namespace py = pybind11;
using exact::u64;
using exact::UBig;

namespace {

void load_rows(record::Record& r, at::Tensor& hn, at::Tensor& hd, int& kn, int& kd) {
  record::ensure_bits(r);
  const int64_t n = r.elements();
  kn = exact::primes_for_bits(r.num_bits);
  kd = exact::primes_for_bits(r.den_bits);
  // reshape copies what is not contiguous (a transposed record, say) into row-major order.
  hn = r.num.narrow(0, 0, kn).to(at::kCPU).reshape({kn, n}).contiguous();
  hd = r.denom.narrow(0, 0, kd).to(at::kCPU).reshape({kd, n}).contiguous();
}

}  // namespace

int order_exact(const Exact& a, const Exact& b) {
  SBig l, r;
  exact::sbig_mul(l, a.num, b.den);
  exact::sbig_mul(r, b.num, a.den);
  if (l.neg != r.neg) return l.neg ? -1 : 1;
  const int c = exact::ubig_cmp(l.mag, r.mag);
  return l.neg ? -c : c;
}

Image image_of(const SBig& n, const SBig& d) {
  const kernels::KeyImage im = kernels::key_image(n, d);
  return {im.key, im.f, im.exact};
}

Constant constant_of(const SBig& num, const SBig& den) {
  Constant c;
  c.image = image_of(num, den);
  c.value.num = num;
  c.value.den = den;
  if (den.neg) {
    c.value.den.neg = false;
    c.value.num.neg = !num.neg && !num.mag.is_zero();
  }
  return c;
}

Decided::Decided(record::Record& r, bool with_images) {
  load_rows(r, hn_, hd_, kn_, kd_);
  n_ = r.elements();
  keys = at::empty({n_}, at::kDouble);
  at::Tensor flags = at::empty({n_}, at::kByte);
  if (with_images) images = at::empty({n_}, at::kFloat);
  {
    py::gil_scoped_release nogil;
    kernels::keys_cpu(hn_, hd_, kn_, kd_, keys, flags, images);
  }
  const double* pk = keys.data_ptr<double>();
  const std::uint8_t* pe = flags.data_ptr<std::uint8_t>();
  pk_ = pk;
  pe_ = pe;
  flags_ = flags;
}

Exact Decided::value(int64_t k) const {
  Exact v;
  v.num = exact::crt_signed(hn_.data_ptr<int64_t>() + k, n_, kn_);
  v.den = exact::crt_signed(hd_.data_ptr<int64_t>() + k, n_, kd_);
  if (v.den.neg) {
    v.den.neg = false;
    v.num.neg = !v.num.neg && !v.num.mag.is_zero();
  }
  return v;
}

int Decided::order(int64_t i, const Decided& other, int64_t j) const {
  const double x = pk_[i], y = other.pk_[j];
  if (std::isnan(x) || std::isnan(y)) return kUnordered;
  if (x != y) return x < y ? -1 : 1;
  if (pe_[i] && other.pe_[j]) return 0;
  return order_exact(value(i), other.value(j));
}

int Decided::order(int64_t i, const Constant& c) const {
  const double x = pk_[i], y = c.image.key;
  if (std::isnan(x) || std::isnan(y)) return kUnordered;
  if (x != y) return x < y ? -1 : 1;
  if (pe_[i] && c.image.exact) return 0;
  return order_exact(value(i), c.value);
}

bool keys_on_device(record::Record& r, at::Tensor& keys, at::Tensor& exact, at::Tensor* images) {
  const kernels::Launcher launcher = kernels::launcher_for(r.num.device());
  if (launcher == kernels::Launcher::Generic) return false;
  record::ensure_bits(r);
  const int kn = exact::primes_for_bits(r.num_bits), kd = exact::primes_for_bits(r.den_bits);
  const at::Tensor n = r.num.narrow(0, 0, kn).reshape({kn, -1}).contiguous();
  const at::Tensor d = r.denom.narrow(0, 0, kd).reshape({kd, -1}).contiguous();
  const auto opts = n.options();
  keys = at::empty({n.size(1)}, opts.dtype(at::kDouble));
  exact = at::empty({n.size(1)}, opts.dtype(at::kByte));
  at::Tensor im;
  if (images) im = at::empty({n.size(1)}, opts.dtype(at::kFloat));
#ifdef KORVEX_WITH_CUDA
  if (launcher == kernels::Launcher::Cuda) {
    kernels::keys_cuda(n, d, kn, kd, keys, exact, im);
  } else
#endif
  {
    py::gil_scoped_release nogil;
    kernels::keys_cpu(n, d, kn, kd, keys, exact, im);
  }
  if (images) *images = im;
  return true;
}

at::Tensor exact_signs(record::Record& r) {
  at::Tensor keys, exact;
  // The sign of the correctly rounded key is the sign of the value; 0/0 (nan) gives 0.
  if (kernels::launcher_for(r.num.device()) == kernels::Launcher::Cuda && keys_on_device(r, keys, exact, nullptr))
    return at::where(at::isnan(keys), 0.0, at::sign(keys));
  at::Tensor hn, hd;
  int kn, kd;
  load_rows(r, hn, hd, kn, kd);
  const int64_t n = r.elements();
  at::Tensor out = at::empty({n}, at::kDouble);
  const int64_t *pn = hn.data_ptr<int64_t>(), *pd = hd.data_ptr<int64_t>();
  double* po = out.data_ptr<double>();
  {
    py::gil_scoped_release nogil;
    at::parallel_for(0, n, 1024, [&](int64_t begin, int64_t end) {
      for (int64_t k = begin; k < end; ++k) {
        const SBig a = exact::crt_signed(pn + k, n, kn), b = exact::crt_signed(pd + k, n, kd);
        const int sa = a.mag.is_zero() ? 0 : (a.neg ? -1 : 1);
        const int sb = b.mag.is_zero() ? 0 : (b.neg ? -1 : 1);
        po[k] = sb == 0 ? sa : sa * sb;
      }
    });
  }
  return out;
}

}  // namespace korvex::compare
