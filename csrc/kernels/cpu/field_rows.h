// Row loops of the field kernels, free of ATen headers so that they can be compiled once per
// instruction set (see field_rows_*.cpp) and picked at run time.
#pragma once

#include <cstdint>

#include "exact/moduli.h"
#include "kernels/field_element.h"

namespace korvex::kernels {

using RowFn = void (*)(exact::ModP, const int64_t*, const int64_t*, const int64_t*, const int64_t*, int64_t*,
                       int64_t*, int64_t, int64_t);

RowFn field_row_generic(FieldOp op, bool as, bool bs);
RowFn field_row_avx512(FieldOp op, bool as, bool bs);

}  // namespace korvex::kernels
