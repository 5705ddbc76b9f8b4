#include "record/pool.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "python/errors.h"

namespace korvex::record {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMinPooled = size_t(1) << 20;  // below this, malloc is cheap enough
constexpr size_t kHugePage = size_t(2) << 20;
// A freed block is handed back to the system once it has sat unused this long: long enough to
// serve the next operation of a loop, short enough that memory is not held after the work.
constexpr auto kIdle = std::chrono::milliseconds(1000);

// KORVEX_HOST_POOL_MB caps the bytes kept for reuse (0 turns the pool off). The default is a
// quarter of physical memory, at least 2 GB: a record of 1e7 elements is 3.2 GB, and below that
// cap every call of a loop over one paid its first touch again (1.0 s against 0.4 s for
// from_tensor + sum). Idle blocks go back within kIdle, so the cap bounds a burst, not a hold.
size_t max_cached() {
  static const size_t cap = [] {
    const char* v = std::getenv("KORVEX_HOST_POOL_MB");
    if (v && *v) return (size_t)std::strtoull(v, nullptr, 10) << 20;
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    const size_t quarter = pages > 0 && page > 0 ? size_t(pages) * size_t(page) / 4 : 0;
    return std::max(quarter, size_t(2) << 30);
  }();
  return cap;
}

// KORVEX_HOST_HUGE_PAGES=1 asks for transparent huge pages for new blocks. Where the kernel
// grants them from memory it already holds, a first touch faults once per 2 MB instead of once
// per 4 KB, and loops over large records run 20-50% faster for the fewer TLB misses. Off by
// default: on virtual machines that hand free memory back to their host, the kernel serves the
// request from exactly those blocks, and the first touch of a fresh 320 MB record took 4.4 s
// against 0.15 s in 4 KB pages.
bool huge_pages() {
  static const bool on = [] {
    const char* v = std::getenv("KORVEX_HOST_HUGE_PAGES");
    return v && *v && std::string(v) != "0";
  }();
  return on;
}

struct Block {
  void* p;
  Clock::time_point freed;
};

struct Pool {
  std::mutex lock;
  std::condition_variable wake;
  std::multimap<size_t, Block> free_blocks;
  size_t cached = 0;
  bool reaper_running = false;

  void* take(size_t bytes) {
    {
      std::lock_guard<std::mutex> g(lock);
      auto it = free_blocks.find(bytes);
      if (it != free_blocks.end()) {
        void* p = it->second.p;
        free_blocks.erase(it);
        cached -= bytes;
        return p;
      }
    }
    // Aligned so that huge pages can back the block, asked for or not (see huge_pages()).
    void* p = nullptr;
    const size_t align = bytes >= kHugePage ? kHugePage : 64;
    if (posix_memalign(&p, align, bytes) != 0) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (bytes >= kHugePage && huge_pages()) madvise(p, bytes & ~(kHugePage - 1), MADV_HUGEPAGE);
#endif
    return p;
  }

  void give(void* p, size_t bytes) {
    std::unique_lock<std::mutex> g(lock);
    const size_t cap = max_cached();
    if (bytes > cap) {
      g.unlock();
      std::free(p);
      return;
    }
    // Make room by dropping the smallest blocks first; never exceed the cap.
    while (!free_blocks.empty() && cached + bytes > cap) {
      auto it = free_blocks.begin();
      cached -= it->first;
      std::free(it->second.p);
      free_blocks.erase(it);
    }
    free_blocks.emplace(bytes, Block{p, Clock::now()});
    cached += bytes;
    if (!reaper_running) {
      reaper_running = true;
      std::thread([this] { reap(); }).detach();
    }
  }

  // Frees blocks idle past kIdle; ends when nothing is left to watch and is started again by
  // the next freed block.
  void reap() {
    std::unique_lock<std::mutex> g(lock);
    while (!free_blocks.empty()) {
      wake.wait_for(g, kIdle / 2);
      const auto now = Clock::now();
      for (auto it = free_blocks.begin(); it != free_blocks.end();) {
        if (now - it->second.freed >= kIdle) {
          cached -= it->first;
          std::free(it->second.p);
          it = free_blocks.erase(it);
        } else {
          ++it;
        }
      }
    }
    reaper_running = false;
  }
};

Pool& pool() {
  static Pool* p = [] {
    auto* q = new Pool();  // outlives every tensor, including those freed at exit
    // A forked child has no reaper thread: it starts its own with its first freed block.
    pthread_atfork(nullptr, nullptr, [] { new (&pool().lock) std::mutex(); pool().reaper_running = false; });
    return q;
  }();
  return *p;
}

}  // namespace

namespace {

// ATen's CPU allocator aligns every block to 64 bytes, and glibc's aligned allocation splits a
// chunk on every call: for the tensors of a one-element result that was most of the cost of
// the operation. Plain malloc is a cache hit for these sizes; ATen's CPU kernels read
// unaligned data, and large tensors keep ATen's allocator.
constexpr size_t kSmallHost = 4096;

void free_small(void* p) { std::free(p); }

struct SmallHostAllocator final : c10::Allocator {
  c10::DataPtr allocate(size_t n) override {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    return {p, p, &free_small, c10::Device(c10::DeviceType::CPU)};
  }
  c10::DeleterFnPtr raw_deleter() const override { return &free_small; }
  void copy_data(void* dest, const void* src, std::size_t count) const override { default_copy_data(dest, src, count); }
};

}  // namespace

at::Tensor empty_host(at::IntArrayRef sizes, at::ScalarType dtype) {
  static SmallHostAllocator* small = new SmallHostAllocator();  // outlives every tensor
  size_t count = 1;
  for (int64_t s : sizes) {
    if (s < 0 || (s && count > kSmallHost / (size_t)s)) return at::detail::empty_cpu(sizes, dtype);
    count *= (size_t)s;
  }
  if (count * c10::elementSize(dtype) > kSmallHost) return at::detail::empty_cpu(sizes, dtype);
  return at::detail::empty_generic(sizes, small, c10::DispatchKeySet(c10::DispatchKey::CPU), dtype, std::nullopt);
}

at::Tensor empty_residues(const std::vector<int64_t>& sizes, const at::Device& device, at::ScalarType dtype) {
  const auto options = at::TensorOptions().dtype(dtype).device(device);
  const size_t item = c10::elementSize(dtype);
  // The count is checked before anything is sized from it: a wrapped product would hand a
  // small block to a huge tensor.
  uint64_t count = 1;
  for (int64_t s : sizes) {
    if (s < 0)
      python::raise_runtime_error(
          c10::str("Trying to create tensor with negative dimension ", s, ": ", c10::IntArrayRef(sizes)));
    if (s != 0 && count > (std::numeric_limits<size_t>::max() / item) / (uint64_t)s)
      throw std::bad_alloc();
    count *= (uint64_t)s;
  }
  const size_t bytes = (size_t)count * item;
  if (!device.is_cpu()) return at::empty(sizes, options);
  if (bytes < kMinPooled || max_cached() == 0) return empty_host(sizes, dtype);
  void* p = pool().take(bytes);
  return at::from_blob(p, sizes, [bytes](void* q) { pool().give(q, bytes); }, options);
}

}  // namespace korvex::record
