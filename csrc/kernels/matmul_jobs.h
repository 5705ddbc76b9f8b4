// Launchers of the dyadic matrix-product jobs (matmul_elements.h), one per device kind, and
// the choice between them. An operand is read as `rows` x `len` elements through its own
// strides (StridedResidues) on the launcher's device; every other tensor is contiguous there.
#pragma once

#include <ATen/ATen.h>
#include <ATen/EmptyTensor.h>

#include <cstdint>

#include "kernels/device.h"
#include "kernels/matmul_elements.h"

namespace korvex::kernels {

// The rows' terms on the launcher's device (L, T int32, S int64, neg uint8, each [rows]; codes
// int32 [rows, len]), all in one allocation since a small product pays for each, and what
// decides whether the device path goes on: bits of the widest cleared value, and gemm_bits
// of the widest value the GEMM sees, its row's 2^T divided out.
//
// The CPU reads a small operand's rows as values as well (side_terms_cpu), and then also forms
// its direct GEMM operand on the way: `cleared` [rows, len] float64, each cleared value over
// its row's 2^T, set where every row's gemm_bits is at most kDirectBits; null otherwise.
constexpr int kDirectBits = 29;

struct SideTerms {
  at::Tensor store;  // undefined where the words are the job's scratch
  int64_t* S = nullptr;
  int32_t *L = nullptr, *T = nullptr, *codes = nullptr;
  uint8_t* neg = nullptr;
  double* cleared = nullptr;
  bool dyadic = true;
  int max_L = 0, bits = 0, gemm_bits = 0;

  SideTerms() = default;
  SideTerms(int64_t rows, int64_t len, const at::Device& device, bool values = false) {
    const int64_t half = (rows + 1) / 2;  // int64 words of an int32 row
    const int64_t flags = (rows + 7) / 8;
    const int64_t words = rows + 2 * half + (rows * len + 1) / 2 + flags + (values ? rows * len : 0);
    // On the CPU from the job's scratch where it has room, else without the dispatcher, whose
    // trip a small product notices.
    S = device.is_cpu() ? take_scratch(words) : nullptr;
    if (!S) {
      store = device.is_cpu() ? at::detail::empty_cpu({words}, at::kLong)
                              : at::empty({words}, at::TensorOptions().dtype(at::kLong).device(device));
      S = store.data_ptr<int64_t>();
    }
    L = reinterpret_cast<int32_t*>(S + rows);
    T = reinterpret_cast<int32_t*>(S + rows + half);
    codes = reinterpret_cast<int32_t*>(S + rows + 2 * half);
    neg = reinterpret_cast<uint8_t*>(S + rows + 2 * half + (rows * len + 1) / 2);
    if (values) cleared = reinterpret_cast<double*>(S + rows + 2 * half + (rows * len + 1) / 2 + flags);
  }
};

// 2^x mod p_j for |x| < kPow2Row as int32 [N_PRIMES, kSignedPow2Row], on the device.
const at::Tensor& signed_pow2_table_on(const at::Device& device);
// The CPU's, which is built once and never renewed, without the tables' lock: small products
// and determinants read it on every call. 2^x mod p_j at [j * kSignedPow2Row +
// kSignedPow2Zero + x].
const int32_t* signed_pow2_cpu();

struct FinishStats {
  int num_bits = 0, den_bits = 0;
  bool fits = true;
};

// The leading k primes of `src` (rows x len elements) into dst as contiguous rows, [k, rows,
// len]: for operands whose rows do not lie in order.
void rows_in_order_cpu(const StridedResidues& src, int k, int64_t rows, int64_t len, int64_t* dst);

SideTerms side_terms_cpu(const StridedResidues& num, const StridedResidues& den, int64_t rows, int64_t len, int kn,
                         int kd);
// out: float64 [kz, rows, len] of balanced residues of the cleared values over their row's
// 2^T, or [kz, 2 rows, len] of their high halves (rows first) then low halves when `split`.
void cleared_operand_cpu(const StridedResidues& num, int64_t rows, int64_t len, int kz, const SideTerms& t,
                         bool split, at::Tensor& out);
// xa [kz, rows, k] times xb [kz, n, k] transposed into out [kz, rows, n], contiguous float64
// on the CPU, in one thread: for products so small that at::bmm's fixed costs and its threads
// (which a busy machine can leave waiting for a core for milliseconds) outweigh the
// arithmetic. Exact wherever every sum of the products is, as the GEMM's are by their bounds.
void small_gemm_cpu(const double* xa, const double* xb, int64_t kz, int64_t rows, int64_t k, int64_t n, double* out);
// z: float64 [kz, 2m, n], one k-block's GEMM of split A and B; acc: int64 [kz, m * n].
void fold_block_cpu(const at::Tensor& z, int kz, int64_t m, int64_t n, bool first, at::Tensor& acc);
// acc: int64 [kz, m * n] of residues of Z', or with `direct` float64 [1, m * n] of Z' itself.
// on, od: contiguous int64 of N_PRIMES rows of m * n entries ([N_PRIMES, m, n] or flat).
FinishStats finish_entries_cpu(const at::Tensor& acc, int kz, bool direct, int64_t m, int64_t n,
                               const SideTerms& a, const SideTerms& b, at::Tensor& on, at::Tensor& od);

#ifdef KORVEX_WITH_CUDA
SideTerms side_terms_cuda(const StridedResidues& num, const StridedResidues& den, int64_t rows, int64_t len, int kn,
                          int kd, const at::Device& device);
void cleared_operand_cuda(const StridedResidues& num, int64_t rows, int64_t len, int kz, const SideTerms& t,
                          bool split, at::Tensor& out);
void fold_block_cuda(const at::Tensor& z, int kz, int64_t m, int64_t n, bool first, at::Tensor& acc);
FinishStats finish_entries_cuda(const at::Tensor& acc, int kz, bool direct, int64_t m, int64_t n,
                                const SideTerms& a, const SideTerms& b, at::Tensor& on, at::Tensor& od);
#endif

// The same jobs by launcher (Cpu or Cuda; Generic devices take the host path instead).
inline SideTerms side_terms(Launcher l, const StridedResidues& num, const StridedResidues& den, int64_t rows,
                            int64_t len, int kn, int kd, const at::Device& device) {
#ifdef KORVEX_WITH_CUDA
  if (l == Launcher::Cuda) return side_terms_cuda(num, den, rows, len, kn, kd, device);
#endif
  (void)l;
  (void)device;
  return side_terms_cpu(num, den, rows, len, kn, kd);
}

inline void cleared_operand(Launcher l, const StridedResidues& num, int64_t rows, int64_t len, int kz,
                            const SideTerms& t, bool split, at::Tensor& out) {
#ifdef KORVEX_WITH_CUDA
  if (l == Launcher::Cuda) return cleared_operand_cuda(num, rows, len, kz, t, split, out);
#endif
  (void)l;
  cleared_operand_cpu(num, rows, len, kz, t, split, out);
}

inline void fold_block(Launcher l, const at::Tensor& z, int kz, int64_t m, int64_t n, bool first, at::Tensor& acc) {
#ifdef KORVEX_WITH_CUDA
  if (l == Launcher::Cuda) return fold_block_cuda(z, kz, m, n, first, acc);
#endif
  (void)l;
  fold_block_cpu(z, kz, m, n, first, acc);
}

inline FinishStats finish_entries(Launcher l, const at::Tensor& acc, int kz, bool direct, int64_t m, int64_t n,
                                  const SideTerms& a, const SideTerms& b, at::Tensor& on, at::Tensor& od) {
#ifdef KORVEX_WITH_CUDA
  if (l == Launcher::Cuda) return finish_entries_cuda(acc, kz, direct, m, n, a, b, on, od);
#endif
  (void)l;
  return finish_entries_cpu(acc, kz, direct, m, n, a, b, on, od);
}

}  // namespace korvex::kernels
