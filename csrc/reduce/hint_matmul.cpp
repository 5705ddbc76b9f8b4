#include "reduce/hint_matmul.h"

#include <ATen/Context.h>
#include <ATen/EmptyTensor.h>
#include <ATen/autocast_mode.h>
#include <c10/core/impl/LocalDispatchKeySet.h>
#include <dlfcn.h>

#include <cstdint>
#include <optional>

namespace korvex::reduce {

namespace {

// The Fortran BLAS interface. Its integers are passed as pointers to int64: an LP64 BLAS reads
// their low halves, which on a little-endian machine are the same values, and an ILP64 one
// reads them whole.
using SgemmFn = void (*)(const char*, const char*, const int64_t*, const int64_t*, const int64_t*, const float*,
                         const float*, const int64_t*, const float*, const int64_t*, const float*, float*,
                         const int64_t*);

// The sgemm_ that ATen's library itself binds (its own BLAS, or the one it links), looked up
// through that library's handle rather than the process's first definition; null where
// there is none, and then at::matmul does all.
SgemmFn aten_sgemm() {
  static const SgemmFn fn = []() -> SgemmFn {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the BLAS integers are passed as their low halves");
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&at::_ops::mm::call), &info) == 0 || info.dli_fname == nullptr) return nullptr;
    void* lib = dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (lib == nullptr) return nullptr;
    void* sym = dlsym(lib, "sgemm_");
    dlclose(lib);  // RTLD_NOLOAD took a reference; the library stays loaded by torch
    return reinterpret_cast<SgemmFn>(sym);
  }();
  return fn;
}

// Where at::mm of these operands would reach the CPU's BLAS call with nothing in between that
// changes the result: plain strided float32 matrices of at least 2 x 2 (ATen adjusts the
// leading dimensions of thinner ones), contiguous, without gradients or Python
// dispatch; no autocast, dispatch mode or functorch layer in force; and float32 products at
// IEEE precision (else oneDNN's reduced-precision GEMM may take them).
bool plain_cpu_matrix(const at::Tensor& t) {
  return t.device().is_cpu() && t.layout() == at::kStrided && t.scalar_type() == at::kFloat && t.dim() == 2 &&
         t.size(0) >= 2 && t.size(1) >= 2 && t.is_contiguous() && !t.is_neg() && !t.is_conj() &&
         !t.requires_grad() && !t._fw_grad(0).defined() && !t.key_set().has(c10::DispatchKey::Python);
}

bool ieee(at::Float32Precision p) { return p == at::Float32Precision::NONE || p == at::Float32Precision::IEEE; }

bool plain_context() {
  const c10::impl::LocalDispatchKeySet tls = c10::impl::tls_local_dispatch_key_set();
  if (!(tls.included_ - c10::default_included_set).empty()) return false;
  if (!(c10::default_excluded_set - tls.excluded_).empty()) return false;
  if (at::autocast::is_autocast_enabled(at::kCPU)) return false;
  const at::Context& ctx = at::globalContext();
  return ieee(ctx.float32Precision(at::Float32Backend::MKLDNN, at::Float32Op::MATMUL)) &&
         ieee(ctx.float32Precision(at::Float32Backend::MKLDNN, at::Float32Op::ALL)) &&
         ieee(ctx.float32Precision(at::Float32Backend::GENERIC, at::Float32Op::ALL));
}

// Up to this many multiplications: past them the layers the direct call skips are a small
// part of the product.
constexpr int64_t kDirectProduct = int64_t(1) << 18;

}  // namespace

at::Tensor hint_matmul(const at::Tensor& a, const at::Tensor& b) {
  if (plain_cpu_matrix(a) && plain_cpu_matrix(b) && a.size(1) == b.size(0) &&
      a.size(0) * a.size(1) * b.size(1) <= kDirectProduct && plain_context()) {
    if (const SgemmFn sgemm = aten_sgemm()) {
      const int64_t m = a.size(0), k = a.size(1), n = b.size(1);
      at::Tensor c = at::detail::empty_cpu({m, n}, at::kFloat, false, std::nullopt);
      // Row-major C = A B is column-major C^T = B^T A^T, the call ATen makes for these layouts.
      const char no = 'n';
      const float one = 1.0f, zero = 0.0f;
      sgemm(&no, &no, &n, &m, &k, &one, b.const_data_ptr<float>(), &n, a.const_data_ptr<float>(), &k, &zero,
            c.mutable_data_ptr<float>(), &n);
      return c;
    }
  }
  return at::matmul(a, b);
}

}  // namespace korvex::reduce
