// Inner loops built twice from one inline body: for the build's baseline, and for AVX-512
// where the CPU has it (cpu_runs_avx512), which the compiler vectorises from the same code.
#pragma once

#define KORVEX_ALWAYS_INLINE inline __attribute__((always_inline))
#define KORVEX_AVX512 __attribute__((target("avx512f,avx512dq,avx512vl,avx2")))
