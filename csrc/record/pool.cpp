#include "record/pool.h"

#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>

namespace korvex::record {

namespace {

constexpr size_t kMinPooled = size_t(1) << 20;   // below this, malloc is cheap enough
constexpr size_t kMaxCached = size_t(2) << 30;   // bytes kept for reuse at most

struct Pool {
  std::mutex lock;
  std::multimap<size_t, void*> free_blocks;
  size_t cached = 0;

  void* take(size_t bytes) {
    {
      std::lock_guard<std::mutex> g(lock);
      auto it = free_blocks.find(bytes);
      if (it != free_blocks.end()) {
        void* p = it->second;
        free_blocks.erase(it);
        cached -= bytes;
        return p;
      }
    }
    void* p = nullptr;
    if (posix_memalign(&p, 64, bytes) != 0) throw std::bad_alloc();
    return p;
  }

  void give(void* p, size_t bytes) {
    std::lock_guard<std::mutex> g(lock);
    if (cached + bytes > kMaxCached) {
      // Make room by dropping the oldest-sized blocks first; never exceed the cap.
      while (!free_blocks.empty() && cached + bytes > kMaxCached) {
        auto it = free_blocks.begin();
        cached -= it->first;
        std::free(it->second);
        free_blocks.erase(it);
      }
      if (bytes > kMaxCached) {
        std::free(p);
        return;
      }
    }
    free_blocks.emplace(bytes, p);
    cached += bytes;
  }
};

Pool& pool() {
  static Pool* p = new Pool();  // outlives every tensor, including those freed at exit
  return *p;
}

}  // namespace

at::Tensor empty_residues(const std::vector<int64_t>& sizes, const at::Device& device) {
  const auto options = at::TensorOptions().dtype(at::kLong).device(device);
  // The count is checked before anything is sized from it: a wrapped product would hand a
  // small block to a huge tensor.
  uint64_t count = 1;
  for (int64_t s : sizes) {
    TORCH_CHECK(s >= 0, "Trying to create tensor with negative dimension ", s, ": ", c10::IntArrayRef(sizes));
    if (s != 0 && count > (std::numeric_limits<size_t>::max() / sizeof(int64_t)) / (uint64_t)s)
      throw std::bad_alloc();
    count *= (uint64_t)s;
  }
  const size_t bytes = (size_t)count * sizeof(int64_t);
  if (!device.is_cpu() || bytes < kMinPooled) return at::empty(sizes, options);
  void* p = pool().take(bytes);
  return at::from_blob(p, sizes, [bytes](void* q) { pool().give(q, bytes); }, options);
}

}  // namespace korvex::record
