#include "kernels/matmul_jobs.h"

#include <ATen/Parallel.h>

#include <algorithm>
#include <atomic>

#include "kernels/exact_jobs.h"

namespace korvex::kernels {

void dyadic_codes_cpu(const StridedResidues& num, const StridedResidues& den, int64_t rows, int64_t len, int kn,
                      int kd, at::Tensor& codes, at::Tensor& bits) {
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(codes.is_contiguous() && bits.is_contiguous() && codes.numel() == rows * len);
  int32_t* pc = codes.data_ptr<int32_t>();
  int32_t* pb = bits.data_ptr<int32_t>();
  const Constants& c = exact::constants();
  at::parallel_for(0, rows * len, 256, [&](int64_t b, int64_t e) {
    for (int64_t idx = b; idx < e; ++idx) {
      const int64_t r = idx / len, t = idx % len;
      const DyadicCode d = dyadic_code(c, num.at(r, t), num.sp, den.at(r, t), den.sp, kn, kd);
      pc[idx] = d.code;
      pb[idx] = d.bits;
    }
  });
}

void cleared_residues_cpu(const StridedResidues& num, int64_t rows, int64_t len, int kz, const at::Tensor& codes,
                          const at::Tensor& L, at::Tensor& out) {
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(out.is_contiguous() && out.size(0) >= kz && L.is_contiguous());
  const int32_t* pc = codes.data_ptr<int32_t>();
  const int32_t* pl = L.data_ptr<int32_t>();
  int64_t* po = out.data_ptr<int64_t>();
  const int32_t* tab = pow2_table_on(at::kCPU).data_ptr<int32_t>();
  const auto& mods = exact::constants().mod;
  const int64_t count = rows * len;
  // Row by row, prime by prime: each output row is written in order.
  at::parallel_for(0, rows, std::max<int64_t>(1, 4096 / std::max<int64_t>(len, 1)), [&](int64_t b, int64_t e) {
    for (int64_t r = b; r < e; ++r) {
      for (int j = 0; j < kz; ++j) {
        const int32_t* pw = tab + j * kPow2Row;
        int64_t* dst = po + j * count + r * len;
        const int64_t* src = num.p + j * num.sp + r * num.sr;
        for (int64_t t = 0; t < len; ++t) dst[t] = cleared_residue(mods[j], pw, src[t * num.st], pc[r * len + t], pl[r]);
      }
    }
  });
}

FinishStats finish_entries_cpu(const at::Tensor& z, int kz, int64_t m, int64_t n, const at::Tensor& la,
                               const at::Tensor& sa, const at::Tensor& na, const at::Tensor& lb, const at::Tensor& sb,
                               const at::Tensor& nb, at::Tensor& on, at::Tensor& od) {
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(z.is_contiguous() && z.size(0) >= kz && z.size(1) == m * n);
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(on.is_contiguous() && od.is_contiguous() && on.size(1) == m * n);
  const int64_t* pz = z.data_ptr<int64_t>();
  const int32_t *pla = la.data_ptr<int32_t>(), *plb = lb.data_ptr<int32_t>();
  const int64_t *psa = sa.data_ptr<int64_t>(), *psb = sb.data_ptr<int64_t>();
  const uint8_t *pna = na.data_ptr<uint8_t>(), *pnb = nb.data_ptr<uint8_t>();
  int64_t *pon = on.data_ptr<int64_t>(), *pod = od.data_ptr<int64_t>();
  const int32_t* tab = pow2_table_on(at::kCPU).data_ptr<int32_t>();
  const Constants& c = exact::constants();
  const int64_t count = m * n;
  std::atomic<int> nbits{0}, dbits{0};
  std::atomic<bool> fits{true};
  at::parallel_for(0, count, 256, [&](int64_t b, int64_t e) {
    int lnb = 0, ldb = 0;
    bool lf = true;
    for (int64_t idx = b; idx < e; ++idx) {
      const int64_t i = idx / n, j = idx % n;
      const EntryBits eb = finish_entry(c, tab, pz + idx, count, kz, RowTerms{pla[i], psa[i], pna[i] != 0},
                                        RowTerms{plb[j], psb[j], pnb[j] != 0}, pon + idx, pod + idx, count);
      lf = lf && eb.fits;
      lnb = std::max(lnb, eb.num_bits);
      ldb = std::max(ldb, eb.den_bits);
    }
    exact::atomic_max(nbits, lnb);
    exact::atomic_max(dbits, ldb);
    if (!lf) fits = false;
  });
  return {nbits.load(), dbits.load(), fits.load()};
}

}  // namespace korvex::kernels
