// The field operations on fractions for one element and one prime: the single formula that
// the CPU row loops and the CUDA kernel both run, so a CPU test checks the device's arithmetic.
#pragma once

#include <c10/macros/Macros.h>

#include <cstdint>

#include "exact/moduli.h"

namespace korvex::kernels {

enum class FieldOp { Add, Sub, Mul, Div };

struct FieldResidues {
  std::uint64_t num, den;
};

// (a/b) op (c/d) with every residue in [0, p):
//   add: (a*d + b*c, b*d)   sub: (a*d - b*c, b*d)   mul: (a*c, b*d)   div: (a*d, b*c)
// A compile-time OP keeps each caller's loop free of branches.
template <FieldOp OP>
C10_HOST_DEVICE inline FieldResidues field_element(const exact::ModP& m, std::uint64_t a, std::uint64_t b,
                                                   std::uint64_t c, std::uint64_t d) {
  // The cross terms are summed before reducing; -b*c enters as (p - b)*c, still below p^2.
  if constexpr (OP == FieldOp::Add) return {m.mul_add(a, d, b, c), m.mul(b, d)};
  else if constexpr (OP == FieldOp::Sub) return {m.mul_add(a, d, m.p - b, c), m.mul(b, d)};
  else if constexpr (OP == FieldOp::Mul) return {m.mul(a, c), m.mul(b, d)};
  else return {m.mul(a, d), m.mul(b, c)};
}

}  // namespace korvex::kernels
