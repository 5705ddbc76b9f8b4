// What every reader of residues may trust: their layout, the moduli records share, and the
// size bound, measured where it is unknown or stale.
#include <torch/csrc/utils/pybind.h>


#include "kernels/exact_jobs.h"
#include "python/errors.h"
#include "record/record.h"

namespace korvex::record {

using exact::kPrimes;

// The moduli tensor records on a device share: a copy of PRIMES of its own, so that a write
// through a record's slot can be undone without touching PRIMES.
static at::Tensor fresh_record_primes() { return primes_tensor().clone(); }

const at::Tensor& record_primes_on(const at::Device& device) {
  return kernels::device_table(kernels::Table::RecordPrimes, device, fresh_record_primes);
}

// The shared moduli tensor of records on `device` is trusted while nothing was written to
// it; any other moduli tensor is read and compared.
static bool moduli_are_primes(Record& r) {
  const at::Tensor& primes = r.primes;
  if (!primes.defined()) return false;
  const at::Tensor& shared = record_primes_on(primes.device());
  if (primes.is_same(shared) && !shared.is_inference() && shared._version() == 0) return true;
  // A caller's own moduli tensor is read once per version, not once per operation.
  std::uint32_t v = 0;
  const bool tracked = tensor_version(primes, v);
  if (tracked && r.primes_checked == primes.unsafeGetTensorImpl() && r.primes_version == v) return true;
  if (primes.scalar_type() != at::kLong || primes.numel() != kPrimes) return false;
  const at::Tensor host = primes.to(at::kCPU).contiguous().view({kPrimes});
  for (int j = 0; j < kPrimes; ++j)
    if (host.data_ptr<int64_t>()[j] != exact::kModuli[j]) {
      // Written through some record's slot: later records get an untouched copy.
      if (primes.is_same(shared)) kernels::renew_device_table(kernels::Table::RecordPrimes, primes.device(), fresh_record_primes);
      return false;
    }
  if (tracked) {
    r.primes_checked = primes.unsafeGetTensorImpl();
    r.primes_version = v;
  }
  return true;
}

void check_layout(Record& r) {
  if (r.num.scalar_type() != at::kLong || r.denom.scalar_type() != at::kLong)
    python::raise_value_error("residue tensors must be int64");
  if (!(r.num.sizes() == r.denom.sizes() && r.num.dim() >= 1 && r.num.size(0) == kPrimes))
    python::raise_value_error("num and denom must both have shape [N_PRIMES, *shape]");
  if (r.num.device() != r.denom.device()) python::raise_value_error("num and denom must be on the same device");
  element_count(r.shape());
  if (!moduli_are_primes(r)) python::raise_value_error("the record's moduli are not PRIMES");
}

[[noreturn]] static void raise_noncanonical() {
  python::raise_value_error("residues must lie in [0, p) for the prime of their row");
}

void ensure_bits(Record& r) {
  check_layout(r);
  if (r.bits_known()) return;
  kernels::Measured m;
  {
    py::gil_scoped_release nogil;
#ifdef KORVEX_WITH_CUDA
    if (kernels::launcher_for(r.num.device()) == kernels::Launcher::Cuda) {
      m = kernels::measure_cuda(r.num.reshape({kPrimes, -1}).contiguous(), r.denom.reshape({kPrimes, -1}).contiguous());
    } else
#endif
    {
      // Every other device measures a host copy with the CPU launcher.
      m = kernels::measure_cpu(host_residues(r.num), host_residues(r.denom));
    }
  }
  if (!m.canonical) raise_noncanonical();
  r.set_bits(m.num_bits, m.den_bits);
}

}  // namespace korvex::record
