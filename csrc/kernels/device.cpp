#include "kernels/device.h"

#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <tuple>

namespace korvex::kernels {

static at::Tensor* g_primes = nullptr;

void set_primes_tensor(const at::Tensor& primes) { g_primes = new at::Tensor(primes); }
const at::Tensor& primes_tensor() { return *g_primes; }

namespace {
using TableKey = std::tuple<int, int, int>;
std::mutex g_tables_lock;
std::map<TableKey, at::Tensor>& tables() {
  static auto* cache = new std::map<TableKey, at::Tensor>();
  return *cache;
}
TableKey key_of(Table table, const at::Device& device) {
  return {(int)table, (int)device.type(), (int)device.index()};
}
// Built outside the lock: a builder may itself read another table.
at::Tensor built_on(const at::Device& device, TableBuilder build) {
  at::Tensor t = build();
  return device.is_cpu() ? t : t.to(device);
}
}  // namespace

const at::Tensor& device_table(Table table, const at::Device& device, TableBuilder build) {
  const TableKey key = key_of(table, device);
  {
    const std::lock_guard<std::mutex> hold(g_tables_lock);
    auto it = tables().find(key);
    if (it != tables().end()) return it->second;
  }
  at::Tensor t = built_on(device, build);
  const std::lock_guard<std::mutex> hold(g_tables_lock);
  return tables().try_emplace(key, std::move(t)).first->second;
}

void renew_device_table(Table table, const at::Device& device, TableBuilder build) {
  at::Tensor t = built_on(device, build);
  const std::lock_guard<std::mutex> hold(g_tables_lock);
  tables()[key_of(table, device)] = std::move(t);
}

const at::Tensor& primes_on(const at::Device& device) {
  // A copy even on the CPU: PRIMES itself is a module attribute anyone can write to.
  return device_table(Table::Primes, device, [] { return g_primes->clone(); });
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

namespace {
std::atomic<int64_t> g_paths[(int)Path::Count];
}  // namespace

void count_path(Path p) { g_paths[(int)p].fetch_add(1, std::memory_order_relaxed); }
int64_t path_count(Path p) { return g_paths[(int)p].load(std::memory_order_relaxed); }
const char* path_name(Path p) {
  static const char* const names[] = {"dot kernel", "dot host",   "matmul kernel", "matmul host",
                                      "det kernel", "det host",   "solve kernel",  "solve host"};
  return names[(int)p];
}

Launcher launcher_for(const at::Device& device) {
  if (generic_kernels_only()) return Launcher::Generic;
  if (device.is_cpu()) return Launcher::Cpu;
  if (kBuiltWithCuda && device.is_cuda()) return Launcher::Cuda;
  return Launcher::Generic;
}

namespace {

// 64K words (512 KB): room for the side buffers of products up to about 64 x 64 with
// float64 entries. Allocated on a thread's first small job and kept for the thread's life.
constexpr int64_t kScratchWords = int64_t(1) << 16;

struct FreeWords {
  void operator()(int64_t* p) const { std::free(p); }
};

struct Scratch {
  std::unique_ptr<int64_t, FreeWords> block;
  int64_t used = 0;
  int depth = 0;
};

Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

}  // namespace

int64_t* take_scratch(int64_t words) {
  Scratch& s = scratch();
  // Whole cache lines, so that one buffer's vector stores never share a line with the next.
  const int64_t rounded = (words + 7) & ~int64_t(7);
  if (s.depth == 0 || words < 0 || rounded > kScratchWords - s.used) return nullptr;
  if (!s.block) {
    void* p = nullptr;
    if (posix_memalign(&p, 64, kScratchWords * sizeof(int64_t)) != 0) return nullptr;
    s.block.reset(static_cast<int64_t*>(p));
  }
  int64_t* p = s.block.get() + s.used;
  s.used += rounded;
  return p;
}

ScratchScope::ScratchScope() : mark_(scratch().used) { ++scratch().depth; }
ScratchScope::~ScratchScope() {
  Scratch& s = scratch();
  s.used = mark_;
  --s.depth;
}

}  // namespace korvex::kernels
