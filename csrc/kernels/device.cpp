#include "kernels/device.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <string>

namespace korvex::kernels {

static at::Tensor* g_primes = nullptr;

void set_primes_tensor(const at::Tensor& primes) { g_primes = new at::Tensor(primes); }
const at::Tensor& primes_tensor() { return *g_primes; }

const at::Tensor& primes_on(const at::Device& device) {
  // Keyed by the device's text; leaked on purpose, tensors must outlive interpreter shutdown.
  static auto* cache = new std::map<std::string, at::Tensor>();
  const std::string key = device.str();
  auto it = cache->find(key);
  if (it != cache->end()) return it->second;
  // A copy even on the CPU: PRIMES itself is a module attribute anyone can write to.
  at::Tensor t = g_primes->to(device, /*non_blocking=*/false, /*copy=*/true);
  return cache->emplace(key, t).first->second;
}

namespace {
bool generic_from_environment() {
  const char* v = std::getenv("KORVEX_GENERIC_KERNELS");
  return v && *v && std::string(v) != "0";
}

// Read on every launch decision, so flipping it takes effect for the very next call.
std::atomic<bool>& generic_flag() {
  static std::atomic<bool> flag{generic_from_environment()};
  return flag;
}
}  // namespace

bool generic_kernels_only() { return generic_flag().load(std::memory_order_relaxed); }

bool set_generic_kernels_only(bool on) { return generic_flag().exchange(on, std::memory_order_relaxed); }

Launcher launcher_for(const at::Device& device) {
  if (generic_kernels_only()) return Launcher::Generic;
  if (device.is_cpu()) return Launcher::Cpu;
  if (kBuiltWithCuda && device.is_cuda()) return Launcher::Cuda;
  return Launcher::Generic;
}

}  // namespace korvex::kernels
