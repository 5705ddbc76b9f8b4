// Sums into the dyadic superaccumulator on the CPU: fixed chunks of terms, one partial each,
// merged in chunk order, so that neither the partials nor the work per thread depend on the
// thread pool. The CUDA launchers' accumulate() is the same with blocks.
#pragma once

#include <ATen/Parallel.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

#include "kernels/exact_elements.h"

namespace korvex::kernels {

constexpr int64_t kAccChunk = int64_t(1) << 14;

// The sum of n terms into acc; add_chunk(lo, hi, part) adds terms lo .. hi - 1 into part and
// returns false where it refuses one, which makes the whole sum false.
template <class AddChunk>
bool accumulate_chunks(int64_t n, AddChunk add_chunk, DyadicAcc& acc) {
  const int64_t chunks = (n + kAccChunk - 1) / kAccChunk;
  std::vector<DyadicAcc> parts(std::max<int64_t>(chunks, 1));
  std::atomic<bool> ok{true};
  at::parallel_for(0, chunks, 1, [&](int64_t b, int64_t e) {
    for (int64_t q = b; q < e && ok; ++q) {
      parts[q].clear();
      if (!add_chunk(q * kAccChunk, std::min(n, (q + 1) * kAccChunk), parts[q])) {
        ok = false;
        return;
      }
    }
  });
  acc.clear();
  if (!ok) return false;
  for (int64_t q = 0; q < chunks; ++q) acc_merge(acc, parts[q]);
  return true;
}

}  // namespace korvex::kernels
