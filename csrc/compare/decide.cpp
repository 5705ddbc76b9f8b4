#include "compare/decide.h"

#include <ATen/Parallel.h>
#include <torch/csrc/utils/pybind.h>


#include "exact/crt.h"
#include "kernels/device.h"
#include "kernels/exact_jobs.h"
#include "record/host.h"

namespace korvex::compare {

namespace py = pybind11;
using exact::u64;
using exact::UBig;
using exact::kPrimes;

namespace {

void load_rows(record::Record& r, at::Tensor& hn, at::Tensor& hd, int& kn, int& kd) {
  const record::HostValues h = record::host_values(r);
  hn = h.n;
  hd = h.d;
  kn = h.kn;
  kd = h.kd;
}

}  // namespace

int order_exact(const Exact& a, const Exact& b) { return kernels::order_fractions(a.num, a.den, b.num, b.den); }

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

namespace {

void keys_of(const kernels::Rows& rows, kernels::Launcher launcher, at::Tensor& keys, at::Tensor& exact,
             at::Tensor& images, bool with_images) {
  const auto opts = rows.num.options();
  const int64_t n = rows.size();
  keys = at::empty({n}, opts.dtype(at::kDouble));
  exact = at::empty({n}, opts.dtype(at::kByte));
  if (with_images) images = at::empty({n}, opts.dtype(at::kFloat));
#ifdef KORVEX_WITH_CUDA
  if (launcher == kernels::Launcher::Cuda) {
    kernels::keys_cuda(rows.num, rows.den, rows.kn, rows.kd, keys, exact, images);
    return;
  }
#endif
  (void)launcher;
  py::gil_scoped_release nogil;
  kernels::keys_cpu(rows.num, rows.den, rows.kn, rows.kd, keys, exact, images);
}

}  // namespace

bool keys_on_device(record::Record& r, at::Tensor& keys, at::Tensor& exact, at::Tensor* images) {
  const kernels::Launcher launcher = kernels::launcher_for(r.num.device());
  if (launcher == kernels::Launcher::Generic) return false;
  at::Tensor im;
  keys_of(record::value_rows(r), launcher, keys, exact, im, images != nullptr);
  if (images) *images = im;
  return true;
}

bool keyed_on_device(record::Record& r, Keyed& out) {
  const kernels::Launcher launcher = kernels::launcher_for(r.num.device());
  if (launcher == kernels::Launcher::Generic) return false;
  out.rows = record::value_rows(r);
  at::Tensor none;
  keys_of(out.rows, launcher, out.keys, out.exact, none, false);
  return true;
}

Keyed keyed_constant(const Constant& c, const at::Device& device) {
  Keyed k;
  at::Tensor num = at::empty({kPrimes, 1}, at::kLong), den = at::empty({kPrimes, 1}, at::kLong);
  exact::residues_of(c.value.num, num.data_ptr<int64_t>(), 1);
  exact::residues_of(c.value.den, den.data_ptr<int64_t>(), 1);
  k.rows.num = num.to(device);
  k.rows.den = den.to(device);
  k.keys = at::full({1}, c.image.key, at::TensorOptions().dtype(at::kDouble).device(device));
  k.exact = at::full({1}, (int64_t)c.image.exact, at::TensorOptions().dtype(at::kByte).device(device));
  return k;
}

at::Tensor broadcast_positions(const std::vector<int64_t>& shape, const std::vector<int64_t>& out,
                               const at::Device& device) {
  const int64_t count = record::element_count(shape);
  return at::arange(count, at::TensorOptions().dtype(at::kLong).device(device)).view(shape).expand(out).reshape({-1});
}

at::Tensor order_keyed(const Keyed& a, const at::Tensor& ia, const Keyed& b, const at::Tensor& ib) {
  if (a.keys.is_cpu() && b.keys.is_cpu()) {
    // One pass over the keys instead of a dozen ATen ops, each a full pass and an allocation.
    const at::Tensor ia_c = ia.defined() ? ia.contiguous() : ia, ib_c = ib.defined() ? ib.contiguous() : ib;
    const int64_t t = ia.defined() ? ia.numel() : ib.defined() ? ib.numel() : a.keys.numel();
    at::Tensor order = at::empty({t}, at::TensorOptions().dtype(at::kChar));
    std::vector<int64_t> ties;
    {
      py::gil_scoped_release nogil;
      ties = kernels::order_keys_cpu(a.keys.contiguous(), a.exact.contiguous(), ia_c, b.keys.contiguous(),
                                     b.exact.contiguous(), ib_c, order);
    }
    if (ties.empty()) return order;
    const int64_t m = (int64_t)ties.size();
    at::Tensor ja = at::empty({m}, at::kLong), jb = at::empty({m}, at::kLong), settled = at::empty({m}, at::kChar);
    int64_t *pa = ja.data_ptr<int64_t>(), *pb = jb.data_ptr<int64_t>();
    const int64_t* pia = ia.defined() ? ia_c.data_ptr<int64_t>() : nullptr;
    const int64_t* pib = ib.defined() ? ib_c.data_ptr<int64_t>() : nullptr;
    for (int64_t q = 0; q < m; ++q) {
      pa[q] = pia ? pia[ties[q]] : ties[q];
      pb[q] = pib ? pib[ties[q]] : ties[q];
    }
    {
      py::gil_scoped_release nogil;
      kernels::order_pairs_cpu(a.rows, ja, b.rows, jb, settled);
    }
    int8_t* po = order.data_ptr<int8_t>();
    const int8_t* ps = settled.data_ptr<int8_t>();
    for (int64_t q = 0; q < m; ++q) po[ties[q]] = ps[q];
    return order;
  }
  const at::Tensor ka = ia.defined() ? a.keys.index_select(0, ia) : a.keys;
  const at::Tensor kb = ib.defined() ? b.keys.index_select(0, ib) : b.keys;
  const at::Tensor ea = ia.defined() ? a.exact.index_select(0, ia) : a.exact;
  const at::Tensor eb = ib.defined() ? b.exact.index_select(0, ib) : b.exact;
  at::Tensor order = ka.gt(kb).to(at::kChar) - ka.lt(kb).to(at::kChar);
  order.masked_fill_(at::isnan(ka).logical_or_(at::isnan(kb)), kUnordered);
  // Equal keys settle the order only when both are the values themselves.
  const at::Tensor tie = ka.eq(kb).logical_and_(ea.logical_and(eb).logical_not_());
  if (!tie.any().item<bool>()) return order;
  const at::Tensor pos = tie.nonzero().squeeze(1);
  const at::Tensor ja = ia.defined() ? ia.index_select(0, pos) : pos;
  const at::Tensor jb = ib.defined() ? ib.index_select(0, pos) : pos;
  at::Tensor settled = at::empty({pos.numel()}, order.options());
#ifdef KORVEX_WITH_CUDA
  if (kernels::launcher_for(order.device()) == kernels::Launcher::Cuda) {
    kernels::order_pairs_cuda(a.rows, ja, b.rows, jb, settled);
  } else
#endif
  {
    py::gil_scoped_release nogil;
    kernels::order_pairs_cpu(a.rows, ja, b.rows, jb, settled);
  }
  order.index_put_({pos}, settled);
  return order;
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
