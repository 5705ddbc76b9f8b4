// Determinants of small matrices of float- and integer-made values by residues: the rows are
// cleared by shifts into an integer matrix, whose determinant is taken modulo every prime,
// eight primes to a vector, and rebuilt from as many of them as Hadamard's bound asks. Host
// code: a matrix of at most 25 entries is read onto the host whatever device holds it.
#pragma once

#include <cstdint>

#include "exact/moduli.h"

namespace korvex::kernels {

constexpr int kMaxSmallDet = 5;

// One entry, +-mag / 2^e with mag below 2^62.
struct DyadicEntry {
  std::uint64_t mag;
  int32_t e;
  bool neg;
};

// The count <= kMaxSmallDet^2 entries whose residues lie at pn[j * stride + i] (numerators,
// kn primes) and pd[...] (denominators, kd primes). False when some entry does not have the
// form, kn > 2 or kd > 4, or the CPU lacks AVX2: the caller then takes the exact path.
bool dyadic_entries_cpu(const int64_t* pn, const int64_t* pd, int64_t stride, int count, int kn, int kd,
                        DyadicEntry* out);

// A determinant in lowest terms, its denominator a power of two, with the residues of both
// parts modulo every prime.
struct SmallDet {
  exact::SBig num, den;
  int64_t num_res[exact::kPrimes], den_res[exact::kPrimes];
};

// The determinant of the n x n matrix (n <= kMaxSmallDet) of entries a, row-major. False when
// it, or Hadamard's bound on the cleared matrix's, leaves the range of the primes, or when a
// pivot vanishes modulo some primes but not others, which elimination across the lanes cannot
// follow (about one matrix in 2^30): the caller's exact path then settles it.
bool small_det_cpu(const DyadicEntry* a, int n, SmallDet& out);

// Cramer's rule for a x = b (n <= kMaxSmallDet): each x_i in lowest terms with its residues
// modulo every prime. False where small_det_cpu would be, and for a singular system.
struct SmallCramer {
  exact::SBig num[kMaxSmallDet], den[kMaxSmallDet];
  int64_t num_res[kMaxSmallDet][exact::kPrimes], den_res[kMaxSmallDet][exact::kPrimes];
};
bool small_cramer_cpu(const DyadicEntry* a, const DyadicEntry* b, int n, SmallCramer& out);

}  // namespace korvex::kernels
