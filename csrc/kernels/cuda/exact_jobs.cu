// CUDA launchers of the exact jobs: grid-stride kernels on the current stream, each running
// the element function its CPU launcher runs. Reductions are per-warp maxima folded into a
// few device integers, which is all that comes back to the host.
#include <c10/cuda/CUDAException.h>
#include <c10/cuda/CUDAGuard.h>
#include <c10/cuda/CUDAStream.h>

#include <algorithm>
#include <cstring>

#include "kernels/cuda/launch.cuh"
#include "kernels/exact_elements.h"
#include "kernels/exact_jobs.h"

namespace korvex::kernels {

// The host's constants copied once to each device, as bytes: Constants holds plain arrays only.
const Constants* constants_on(const at::Device& device) {
  const at::Tensor& t = device_table(Table::Constants, device, [] {
    at::Tensor host = at::empty({(int64_t)sizeof(Constants)}, at::kByte);
    std::memcpy(host.data_ptr(), &exact::constants(), sizeof(Constants));
    return host;
  });
  return reinterpret_cast<const Constants*>(t.data_ptr());
}

namespace {

// stats: [num_bits, den_bits, noncanonical]
__global__ void measure_kernel(const Constants* c, const int64_t* __restrict__ pn, const int64_t* __restrict__ pd,
                               int64_t n, int* stats) {
  int nb = 0, db = 0, bad = 0;
  for (int64_t k = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; k < n; k += (int64_t)blockDim.x * gridDim.x) {
    int x, y;
    if (measure_element(*c, pn + k, pd + k, n, x, y)) {
      nb = max(nb, x);
      db = max(db, y);
    } else {
      bad = 1;
    }
  }
  fold_max(&stats[0], nb);
  fold_max(&stats[1], db);
  fold_max(&stats[2], bad);
}

__global__ void to_float_kernel(const Constants* c, const int64_t* __restrict__ pn, const int64_t* __restrict__ pd,
                                int64_t n, int kn, int kd, float* __restrict__ out) {
  for (int64_t k = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; k < n; k += (int64_t)blockDim.x * gridDim.x)
    out[k] = float_element(*c, pn + k, pd + k, n, kn, kd);
}

template <class T>
__device__ inline Fault decompose(const T* x, int64_t k, double max_fit, Dyadic& d) {
  if constexpr (std::is_same_v<T, double>) {
    return dyadic_of_double(x[k], max_fit, d);
  } else if constexpr (std::is_same_v<T, u64>) {
    dyadic_of_integer(x[k], false, d);
    return kNone;
  } else {
    const int64_t v = x[k];
    dyadic_of_integer(v < 0 ? 0 - (u64)v : (u64)v, v < 0, d);
    return kNone;
  }
}

// stats: [num_bits, den_bits]; first: the smallest index that could not be taken (n if none)
template <class T>
__global__ void ingest_kernel(const Constants* c, const int32_t* __restrict__ pow2, const T* __restrict__ x,
                              int64_t n, double max_fit, int64_t* __restrict__ on, int64_t* __restrict__ od,
                              int* stats, unsigned long long* first) {
  int nb = 0, db = 1;
  for (int64_t k = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; k < n; k += (int64_t)blockDim.x * gridDim.x) {
    Dyadic d;
    if (decompose(x, k, max_fit, d) != kNone) atomicMin(first, (unsigned long long)k);
    int a, b;
    dyadic_bits(d, a, b);
    nb = max(nb, a);
    db = max(db, b);
    for (int j = 0; j < kPrimes; ++j)
      dyadic_residues(c->mod[j], pow2 + j * (kMaxShift + 1), d, on[j * n + k], od[j * n + k]);
  }
  fold_max(&stats[0], nb);
  fold_max(&stats[1], db);
}

__global__ void keys_kernel(const Constants* c, const int64_t* __restrict__ pn, const int64_t* __restrict__ pd,
                            int64_t n, int kn, int kd, double* __restrict__ keys, std::uint8_t* __restrict__ exact,
                            float* __restrict__ images) {
  for (int64_t k = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; k < n; k += (int64_t)blockDim.x * gridDim.x) {
    const KeyImage im = key_element(*c, pn + k, pd + k, n, kn, kd);
    keys[k] = im.key;
    exact[k] = im.exact;
    if (images) images[k] = im.f;
  }
}

__global__ void order_pairs_kernel(const Constants* c, const int64_t* __restrict__ an, const int64_t* __restrict__ ad,
                                   int64_t na, int kna, int kda, const int64_t* __restrict__ ia,
                                   const int64_t* __restrict__ bn, const int64_t* __restrict__ bd, int64_t nb, int knb,
                                   int kdb, const int64_t* __restrict__ ib, int64_t t, int8_t* __restrict__ out) {
  for (int64_t k = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; k < t; k += (int64_t)blockDim.x * gridDim.x)
    out[k] = (int8_t)order_pair_element(*c, an + ia[k], ad + ia[k], na, kna, kda, bn + ib[k], bd + ib[k], nb, knb,
                                        kdb);
}

__global__ void dyadic_sum_kernel(const Constants* c, const int64_t* __restrict__ pn, const int64_t* __restrict__ pd,
                                  int64_t n, int kn, int kd, int scale, DyadicAcc* partials, int* not_dyadic) {
  accumulate_block(
      n, [&](int64_t k, DyadicAcc& a) { return add_dyadic_element(*c, pn + k, pd + k, n, kn, kd, scale, a); },
      partials, not_dyadic);
}

}  // namespace

void keys_cuda(const at::Tensor& num, const at::Tensor& den, int kn, int kd, at::Tensor& keys, at::Tensor& exact,
               at::Tensor& images) {
  const c10::cuda::CUDAGuard guard(num.device());
  const int64_t n = num.size(1);
  if (n == 0) return;
  keys_kernel<<<blocks_for(n), kThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(
      constants_on(num.device()), num.data_ptr<int64_t>(), den.data_ptr<int64_t>(), n, kn, kd,
      keys.data_ptr<double>(), exact.data_ptr<std::uint8_t>(), images.defined() ? images.data_ptr<float>() : nullptr);
  C10_CUDA_KERNEL_LAUNCH_CHECK();
}

void order_pairs_cuda(const Rows& a, const at::Tensor& ia, const Rows& b, const at::Tensor& ib, at::Tensor& out) {
  const c10::cuda::CUDAGuard guard(out.device());
  const int64_t t = out.numel();
  if (t == 0) return;
  order_pairs_kernel<<<blocks_for(t), kThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(
      constants_on(out.device()), a.num.data_ptr<int64_t>(), a.den.data_ptr<int64_t>(), a.size(), a.kn, a.kd,
      ia.data_ptr<int64_t>(), b.num.data_ptr<int64_t>(), b.den.data_ptr<int64_t>(), b.size(), b.kn, b.kd,
      ib.data_ptr<int64_t>(), t, out.data_ptr<int8_t>());
  C10_CUDA_KERNEL_LAUNCH_CHECK();
}

bool dyadic_sum_cuda(const at::Tensor& num, const at::Tensor& den, int kn, int kd, int scale, DyadicAcc& acc) {
  const c10::cuda::CUDAGuard guard(num.device());
  const int64_t n = num.size(1);
  const Constants* c = constants_on(num.device());
  const int64_t *pn = num.data_ptr<int64_t>(), *pd = den.data_ptr<int64_t>();
  return accumulate(n, num, [&](unsigned blocks, DyadicAcc* partials, int* refused) {
    dyadic_sum_kernel<<<blocks, kAccThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(c, pn, pd, n, kn, kd, scale,
                                                                                      partials, refused);
  }, acc);
}

Measured measure_cuda(const at::Tensor& num, const at::Tensor& den) {
  const c10::cuda::CUDAGuard guard(num.device());
  const int64_t n = num.size(1);
  at::Tensor stats = at::zeros({3}, num.options().dtype(at::kInt));
  if (n > 0) {
    measure_kernel<<<blocks_for(n), kThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(
        constants_on(num.device()), num.data_ptr<int64_t>(), den.data_ptr<int64_t>(), n, stats.data_ptr<int>());
    C10_CUDA_KERNEL_LAUNCH_CHECK();
  }
  const at::Tensor s = stats.cpu();
  const int* p = s.data_ptr<int>();
  return {p[0], p[1], p[2] == 0};
}

void to_float_cuda(const at::Tensor& num, const at::Tensor& den, int kn, int kd, at::Tensor& out) {
  const c10::cuda::CUDAGuard guard(num.device());
  const int64_t n = num.size(1);
  if (n == 0) return;
  to_float_kernel<<<blocks_for(n), kThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(
      constants_on(num.device()), num.data_ptr<int64_t>(), den.data_ptr<int64_t>(), n, kn, kd, out.data_ptr<float>());
  C10_CUDA_KERNEL_LAUNCH_CHECK();
}

IngestStats ingest_cuda(const at::Tensor& x, at::Tensor& num, at::Tensor& den) {
  const c10::cuda::CUDAGuard guard(x.device());
  const int64_t n = x.numel();
  IngestStats res;
  if (n == 0) return res;
  at::Tensor stats = at::tensor({0, 1}, at::kInt).to(x.device());
  at::Tensor first = at::full({1}, n, x.options().dtype(at::kLong));
  const auto stream = c10::cuda::getCurrentCUDAStream();
  const Constants* c = constants_on(x.device());
  const int32_t* pow2 = pow2_table_on(x.device()).data_ptr<int32_t>();
  auto* pf = reinterpret_cast<unsigned long long*>(first.data_ptr<int64_t>());
  if (x.scalar_type() == at::kDouble) {
    ingest_kernel<double><<<blocks_for(n), kThreads, 0, stream>>>(c, pow2, x.data_ptr<double>(), n,
                                                                   largest_fitting_double(), num.data_ptr<int64_t>(),
                                                                   den.data_ptr<int64_t>(), stats.data_ptr<int>(), pf);
  } else if (x.scalar_type() == at::kUInt64) {
    ingest_kernel<u64><<<blocks_for(n), kThreads, 0, stream>>>(c, pow2, x.data_ptr<u64>(), n, 0.0,
                                                                num.data_ptr<int64_t>(), den.data_ptr<int64_t>(),
                                                                stats.data_ptr<int>(), pf);
  } else {
    TORCH_CHECK(x.scalar_type() == at::kLong, "ingest_cuda takes float64, int64 or uint64");
    ingest_kernel<int64_t><<<blocks_for(n), kThreads, 0, stream>>>(c, pow2, x.data_ptr<int64_t>(), n, 0.0,
                                                                    num.data_ptr<int64_t>(), den.data_ptr<int64_t>(),
                                                                    stats.data_ptr<int>(), pf);
  }
  C10_CUDA_KERNEL_LAUNCH_CHECK();
  const at::Tensor s = at::cat({stats.to(at::kLong), first}).cpu();
  const int64_t* p = s.data_ptr<int64_t>();
  res.num_bits = (int)p[0];
  res.den_bits = (int)p[1];
  if (p[2] < n) res.first_fault = p[2];
  return res;
}

}  // namespace korvex::kernels
