// The residue of a scaled integer for one prime, shared by the ingestion element code and the
// CPU row loops built per instruction set (which include no ATen and none of the big-integer
// headers, so that nothing compiled for a wider instruction set leaks into common code).
#pragma once

#include <c10/macros/Macros.h>

#include <cstdint>

#include "exact/moduli.h"

namespace korvex::kernels {

// (neg ? -m : m) * 2^a mod p, for m below 2^62 (Barrett's operand range); pow_a = 2^a mod p.
C10_HOST_DEVICE inline std::uint64_t scaled_residue(const exact::ModP& mod, std::uint64_t m, std::uint64_t pow_a,
                                                    bool neg) {
  const std::uint64_t r = mod.mul(mod.reduce(m), pow_a);
  return neg && r ? mod.p - r : r;
}

}  // namespace korvex::kernels
