// CUDA launchers of the dot and running-sum jobs: kernels on the current stream running the
// element functions of scan_elements.h, as their CPU launchers do. What comes back to the host
// is a few integers and at most kAccBlocks partial accumulators.
#include <c10/cuda/CUDAException.h>
#include <c10/cuda/CUDAGuard.h>
#include <c10/cuda/CUDAStream.h>

#include <algorithm>

#include "kernels/cuda/launch.cuh"
#include "kernels/exact_jobs.h"
#include "kernels/scan_elements.h"
#include "kernels/sum_jobs.h"

namespace korvex::kernels {

namespace {

// [status, num_bits, den_bits] as the kernels leave them on the device.
RunningStats stats_of(const at::Tensor& stats) {
  const at::Tensor s = stats.cpu();
  const int* p = s.data_ptr<int>();
  RunningStats res;
  res.status = p[0];
  res.num_bits = p[1];
  res.den_bits = p[2];
  return res;
}

DyadicOperand operand_of(const Rows& x) {
  return {x.num.data_ptr<int64_t>(), x.den.data_ptr<int64_t>(), x.kn, x.kd};
}

at::Tensor acc_buffer(int64_t count, const at::Tensor& like) {
  return at::empty({count * (int64_t)sizeof(DyadicAcc)}, like.options().dtype(at::kByte));
}

DyadicAcc* accs(at::Tensor& t) { return reinterpret_cast<DyadicAcc*>(t.data_ptr()); }

// One partial per block, as for the dyadic sum.
__global__ void dyadic_dot_kernel(const Constants* c, DyadicOperand x, DyadicOperand y, int64_t n, int scale,
                                  DyadicAcc* partials, int* refused) {
  accumulate_block(
      n, [&](int64_t k, DyadicAcc& a) { return add_dyadic_product(*c, x, y, n, k, scale, a); }, partials, refused);
}

constexpr int kScanThreads = 128;
// The chunk totals are scanned in at most this many groups: one thread sums a group's
// totals in order, one more then scans the group sums.
constexpr int64_t kScanGroups = 1024;

unsigned scan_blocks(int64_t n) { return (unsigned)std::max<int64_t>(1, (n + kScanThreads - 1) / kScanThreads); }

__global__ void chunk_totals_kernel(const Constants* c, DyadicOperand x, int64_t n, int64_t chunks, int scale,
                                    DyadicAcc* totals, int* not_dyadic) {
  const int64_t q = (int64_t)blockIdx.x * blockDim.x + threadIdx.x;
  if (q >= chunks) return;
  DyadicAcc a;
  a.clear();
  const int64_t hi = exact::kmin<int64_t>(n, (q + 1) * kRunChunk);
  for (int64_t k = q * kRunChunk; k < hi; ++k) {
    if (!add_dyadic_element(*c, x.num + k, x.den + k, n, x.kn, x.kd, scale, a)) {
      atomicOr(not_dyadic, 1);
      return;
    }
  }
  totals[q] = a;
}

// Within each group of `per` chunks: each total replaced by the sum of the group's totals
// before it, and the group's sum written to sums[g].
__global__ void group_scan_kernel(DyadicAcc* totals, int64_t chunks, int64_t per, int64_t groups, DyadicAcc* sums) {
  const int64_t g = (int64_t)blockIdx.x * blockDim.x + threadIdx.x;
  if (g >= groups) return;
  DyadicAcc run;
  run.clear();
  const int64_t lo = g * per;
  acc_exclusive_scan(totals + lo, exact::kmin<int64_t>(chunks, lo + per) - lo, run);
  sums[g] = run;
}

// The group sums replaced by the sum of all groups before each: at most kScanGroups steps.
__global__ void sums_scan_kernel(DyadicAcc* sums, int64_t groups) {
  DyadicAcc run;
  run.clear();
  acc_exclusive_scan(sums, groups, run);
}

// stats: [status, num_bits, den_bits]
__global__ void replay_kernel(const Constants* c, const int32_t* __restrict__ pow2, DyadicOperand x, int64_t n,
                              int64_t chunks, int64_t per, int scale, const DyadicAcc* totals, const DyadicAcc* sums,
                              int64_t* __restrict__ on, int64_t* __restrict__ od, int* stats) {
  const int64_t q = (int64_t)blockIdx.x * blockDim.x + threadIdx.x;
  if (q >= chunks) return;
  DyadicAcc before = sums[q / per];
  acc_merge(before, totals[q]);
  DyadicValue start;
  int nb = 0, db = 0, s = kRunOverflow;
  if (acc_lowest(*c, before, scale, start))
    s = replay_running_sum(*c, pow2, x, n, q * kRunChunk, exact::kmin<int64_t>(n, (q + 1) * kRunChunk), start, on, od, nb, db);
  if (s != kRunDone) atomicMax(&stats[0], s);
  atomicMax(&stats[1], nb);
  atomicMax(&stats[2], db);
}

// One thread per row. stats: [status, num_bits, den_bits]
__global__ void row_sums_kernel(const Constants* c, const int32_t* __restrict__ pow2, DyadicOperand x, int64_t n,
                                int64_t rows, int64_t m, int scale, int64_t* __restrict__ on, int64_t* __restrict__ od,
                                int* stats) {
  int nb = 0, db = 0, status = kRunDone;
  RowSum s;
  for (int64_t o = (int64_t)blockIdx.x * blockDim.x + threadIdx.x; o < rows; o += (int64_t)blockDim.x * gridDim.x) {
    const int st = sum_dyadic_row(*c, x, n, o * m, m, scale, s)
                       ? write_row_sum(*c, pow2, s, scale, on + o, od + o, rows, nb, db)
                       : kRunNotDyadic;
    status = max(status, st);
  }
  fold_max(&stats[0], status);
  fold_max(&stats[1], nb);
  fold_max(&stats[2], db);
}

}  // namespace

RunningStats dyadic_row_sums_cuda(const Rows& x, int64_t m, int scale, at::Tensor& out_num, at::Tensor& out_den) {
  const c10::cuda::CUDAGuard guard(x.num.device());
  const int64_t n = x.num.size(1), rows = out_num.size(1);
  RunningStats res;
  if (rows == 0) return res;
  at::Tensor stats = at::zeros({3}, x.num.options().dtype(at::kInt));
  row_sums_kernel<<<blocks_for(rows), kThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(
      constants_on(x.num.device()), pow2_table_on(x.num.device()).data_ptr<int32_t>(), operand_of(x), n, rows, m,
      scale, out_num.data_ptr<int64_t>(), out_den.data_ptr<int64_t>(), stats.data_ptr<int>());
  C10_CUDA_KERNEL_LAUNCH_CHECK();
  return stats_of(stats);
}

bool dyadic_dot_cuda(const Rows& x, const Rows& y, int scale, DyadicAcc& acc) {
  const c10::cuda::CUDAGuard guard(x.num.device());
  const int64_t n = x.num.size(1);
  const Constants* c = constants_on(x.num.device());
  const DyadicOperand ox = operand_of(x), oy = operand_of(y);
  return accumulate(n, x.num, [&](unsigned blocks, DyadicAcc* partials, int* refused) {
    dyadic_dot_kernel<<<blocks, kAccThreads, 0, c10::cuda::getCurrentCUDAStream()>>>(c, ox, oy, n, scale, partials,
                                                                                      refused);
  }, acc);
}

RunningStats dyadic_cumsum_cuda(const Rows& x, int scale, at::Tensor& out_num, at::Tensor& out_den) {
  const c10::cuda::CUDAGuard guard(x.num.device());
  const int64_t n = x.num.size(1);
  RunningStats res;
  const int64_t chunks = (n + kRunChunk - 1) / kRunChunk;
  if (chunks == 0) return res;
  const auto stream = c10::cuda::getCurrentCUDAStream();
  const Constants* c = constants_on(x.num.device());
  const DyadicOperand ox = operand_of(x);
  at::Tensor totals = acc_buffer(chunks, x.num);
  at::Tensor flag = at::zeros({1}, x.num.options().dtype(at::kInt));
  chunk_totals_kernel<<<scan_blocks(chunks), kScanThreads, 0, stream>>>(c, ox, n, chunks, scale, accs(totals),
                                                                       flag.data_ptr<int>());
  C10_CUDA_KERNEL_LAUNCH_CHECK();
  if (flag.item<int>() != 0) {
    res.status = kRunNotDyadic;
    return res;
  }
  const int64_t per = (chunks + kScanGroups - 1) / kScanGroups;
  const int64_t groups = (chunks + per - 1) / per;
  at::Tensor sums = acc_buffer(groups, x.num);
  group_scan_kernel<<<scan_blocks(groups), kScanThreads, 0, stream>>>(accs(totals), chunks, per, groups, accs(sums));
  C10_CUDA_KERNEL_LAUNCH_CHECK();
  sums_scan_kernel<<<1, 1, 0, stream>>>(accs(sums), groups);
  C10_CUDA_KERNEL_LAUNCH_CHECK();
  at::Tensor stats = at::zeros({3}, x.num.options().dtype(at::kInt));
  replay_kernel<<<scan_blocks(chunks), kScanThreads, 0, stream>>>(
      c, pow2_table_on(x.num.device()).data_ptr<int32_t>(), ox, n, chunks, per, scale, accs(totals), accs(sums),
      out_num.data_ptr<int64_t>(), out_den.data_ptr<int64_t>(), stats.data_ptr<int>());
  C10_CUDA_KERNEL_LAUNCH_CHECK();
  return stats_of(stats);
}

}  // namespace korvex::kernels
