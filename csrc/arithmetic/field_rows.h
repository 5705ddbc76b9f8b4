// Row loops of the field kernels, free of torch headers so that they can be compiled once per
// instruction set (see field_rows_*.cpp) and picked at run time.
#pragma once

#include <cstdint>

#include "exact/moduli.h"

namespace korvex::arithmetic {

enum class FieldOp { Add, Sub, Mul, Div };

using RowFn = void (*)(exact::ModP, const int64_t*, const int64_t*, const int64_t*, const int64_t*, int64_t*,
                       int64_t*, int64_t, int64_t);

RowFn field_row_generic(FieldOp op, bool as, bool bs);
RowFn field_row_avx512(FieldOp op, bool as, bool bs);

}  // namespace korvex::arithmetic
