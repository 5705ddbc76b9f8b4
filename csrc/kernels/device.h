// What a launcher needs to know about a device besides the tensors it is handed: the moduli
// as a tensor there, whether the fast kernels may run at all, and (on the host) scratch words
// for small jobs.
#pragma once

#include <ATen/ATen.h>

namespace korvex::kernels {

#ifdef KORVEX_WITH_CUDA
constexpr bool kBuiltWithCuda = true;
#else
constexpr bool kBuiltWithCuda = false;
#endif

// A constant tensor per kind and device: `build` makes it on the host, once, and it is copied
// to the device once. Kept for the life of the process (leaked on purpose: tensors must outlive
// interpreter shutdown); safe to call without the GIL. renew_device_table builds it afresh, for
// a table someone wrote to; references handed out before then see the new tensor.
enum class Table : int { Primes, RecordPrimes, Pow2, SignedPow2, Pow2Long, Constants };
using TableBuilder = at::Tensor (*)();
const at::Tensor& device_table(Table table, const at::Device& device, TableBuilder build);
void renew_device_table(Table table, const at::Device& device, TableBuilder build);

// PRIMES as created at import, and its cached copy per device.
void set_primes_tensor(const at::Tensor& primes);
const at::Tensor& primes_tensor();
const at::Tensor& primes_on(const at::Device& device);

// True when KORVEX_GENERIC_KERNELS is set (or a test switched it on): the CPU then runs the
// ATen formulas that every other device runs, which is how those paths are tested on a machine
// without a GPU. The environment gives the initial value; the setter returns the previous one.
bool generic_kernels_only();
bool set_generic_kernels_only(bool on);

// Which way the jobs with a kernel and an exact host fall-back went, counted: the fall-back
// gives the same result, only slower, so nothing else tells a kernel that wrongly declines.
enum class Path : int { DotKernel, DotHost, MatmulKernel, MatmulHost, DetKernel, DetHost, SolveKernel, SolveHost, Count };
void count_path(Path p);
int64_t path_count(Path p);
const char* path_name(Path p);

// Host words for the buffers of one small job that never leave it, from a per-thread block
// reused call after call: a 16 x 16 product's four side buffers cost a tenth of its time as
// tensors of their own. Taken only inside a ScratchScope, which hands back on exit all that
// was taken within it; null where the block has no room left (or no scope is open), and the
// caller then allocates as usual.
int64_t* take_scratch(int64_t words);
class ScratchScope {
 public:
  ScratchScope();
  ~ScratchScope();
  ScratchScope(const ScratchScope&) = delete;
  ScratchScope& operator=(const ScratchScope&) = delete;

 private:
  int64_t mark_;
};

// Which launcher runs a job on `device`: the one choice by device that every job makes.
// Generic: the ATen formulas (devices with neither kernel, and KORVEX_GENERIC_KERNELS).
enum class Launcher { Cpu, Cuda, Generic };
Launcher launcher_for(const at::Device& device);

}  // namespace korvex::kernels
