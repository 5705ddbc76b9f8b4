// The row loops of the field kernels and of dyadic values, each built for the baseline and,
// in field_rows_lanes.h, for AVX2 and AVX-512.
#include "kernels/cpu/field_rows.h"

#include <immintrin.h>

#include <cstring>

#include "kernels/cpu/isa.h"

namespace korvex::kernels {
namespace {

using exact::ModP;
using u64 = std::uint64_t;

// Pieces of a row computed into the cache before they are written out.
constexpr int64_t kPiece = 512;

// Rows at least this long belong to results larger than the cache.
constexpr int64_t kStreamedRow = int64_t(1) << 17;

// The baseline's stores; the vector builds stream large rows (field_rows_lanes.h).
struct PlainStores {
  KORVEX_ALWAYS_INLINE void row(int64_t* __restrict dst, const int64_t* __restrict src, int64_t cnt, bool) const {
    std::memcpy(dst, src, cnt * sizeof(int64_t));
  }
  KORVEX_ALWAYS_INLINE void end() const {}
};

// One row (one prime) of a field operation. AS/BS: the operand is one value stretched over
// the row. Templated so that each variant is a branch-free loop the compiler can vectorise.
template <FieldOp OP, bool AS, bool BS, class Stores>
KORVEX_ALWAYS_INLINE void field_row(const ModP m, const int64_t* __restrict an, const int64_t* __restrict ad,
                                    const int64_t* __restrict bn, const int64_t* __restrict bd,
                                    int64_t* __restrict on, int64_t* __restrict od, int64_t begin, int64_t end,
                                    Stores stores) {
  if (end - begin < kStreamedRow) {
    for (int64_t k = begin; k < end; ++k) {
      const FieldResidues r = field_element<OP>(m, (u64)an[AS ? 0 : k], (u64)ad[AS ? 0 : k],
                                                (u64)bn[BS ? 0 : k], (u64)bd[BS ? 0 : k]);
      on[k] = (int64_t)r.num;
      od[k] = (int64_t)r.den;
    }
    return;
  }
  alignas(64) int64_t xn[kPiece], xd[kPiece];
  for (int64_t lo = begin; lo < end; lo += kPiece) {
    const int64_t cnt = end - lo < kPiece ? end - lo : kPiece;
    for (int64_t i = 0; i < cnt; ++i) {
      const int64_t k = lo + i;
      const FieldResidues r = field_element<OP>(m, (u64)an[AS ? 0 : k], (u64)ad[AS ? 0 : k],
                                                (u64)bn[BS ? 0 : k], (u64)bd[BS ? 0 : k]);
      xn[i] = (int64_t)r.num;
      xd[i] = (int64_t)r.den;
    }
    stores.row(on + lo, xn, cnt, true);
    stores.row(od + lo, xd, cnt, true);
  }
  stores.end();
}

template <FieldOp OP, bool AS, bool BS>
void field_row_generic_t(const ModP m, const int64_t* an, const int64_t* ad, const int64_t* bn, const int64_t* bd,
                         int64_t* on, int64_t* od, int64_t begin, int64_t end) {
  field_row<OP, AS, BS>(m, an, ad, bn, bd, on, od, begin, end, PlainStores{});
}


// Elements [from, c) of one prime's piece of a dyadic block.
KORVEX_ALWAYS_INLINE void dyadic_piece(const ModP& m, const int32_t* __restrict pw, const u64* __restrict mant,
                                       const int64_t* __restrict a, const int64_t* __restrict b,
                                       const u64* __restrict neg, int64_t from, int64_t c, int64_t* __restrict xn,
                                       int64_t* __restrict xd) {
  for (int64_t i = from; i < c; ++i) {
    xn[i] = (int64_t)scaled_residue(m, mant[i], (u64)pw[a[i]], neg[i] != 0);
    xd[i] = pw[b[i]];
  }
}

// One row of a gather. The source row of a sort (800 KB at 1e5 elements) stays in L2 only if the
// output does not push it out: the vector builds write the output around the caches, and the
// index is read as int32 to halve its share.
void take_row_generic(const int64_t* in, const int32_t* ix, int64_t* out, int64_t k) {
  for (int64_t j = 0; j < k; ++j) out[j] = in[ix[j]];
}

void dyadic_block_generic_fn(const ModP* mods, const int32_t* tab, int64_t tab_stride, const u64* mant,
                             const int64_t* a, const int64_t* b, const u64* neg, int64_t* on, int64_t* od,
                             int64_t row_stride, int64_t cnt) {
  alignas(64) int64_t xn[kPiece], xd[kPiece];
  for (int j = 0; j < exact::kPrimes; ++j) {
    for (int64_t lo = 0; lo < cnt; lo += kPiece) {
      const int64_t c = cnt - lo < kPiece ? cnt - lo : kPiece;
      dyadic_piece(mods[j], tab + j * tab_stride, mant + lo, a + lo, b + lo, neg + lo, 0, c, xn, xd);
      PlainStores{}.row(on + j * row_stride + lo, xn, c, false);
      PlainStores{}.row(od + j * row_stride + lo, xd, c, false);
    }
  }
}


}  // namespace
}  // namespace korvex::kernels

#define KORVEX_LANES_BODY "kernels/cpu/field_rows_lanes.h"
#include "kernels/cpu/lanes_both.h"

namespace korvex::kernels {
namespace {

enum class Build { Generic, Avx2, Avx512 };

template <FieldOp OP, bool AS, bool BS>
RowFn pick(Build b) {
  switch (b) {
    case Build::Avx512: return &avx512::field_row<OP, AS, BS>;
    case Build::Avx2: return &avx2::field_row<OP, AS, BS>;
    default: return &field_row_generic_t<OP, AS, BS>;
  }
}

template <FieldOp OP>
RowFn pick(Build b, bool as, bool bs) {
  if (as) return bs ? pick<OP, true, true>(b) : pick<OP, true, false>(b);
  return bs ? pick<OP, false, true>(b) : pick<OP, false, false>(b);
}

RowFn pick(Build b, FieldOp op, bool as, bool bs) {
  switch (op) {
    case FieldOp::Add: return pick<FieldOp::Add>(b, as, bs);
    case FieldOp::Sub: return pick<FieldOp::Sub>(b, as, bs);
    case FieldOp::Mul: return pick<FieldOp::Mul>(b, as, bs);
    default: return pick<FieldOp::Div>(b, as, bs);
  }
}

}  // namespace

RowFn field_row_fn(FieldOp op, bool as, bool bs) {
  return pick(widest_build(Build::Avx512, Build::Avx2, Build::Generic), op, as, bs);
}
TakeRowFn take_row_fn() { return widest_build<TakeRowFn>(&avx512::take_row, &avx2::take_row, &take_row_generic); }
DyadicBlockFn dyadic_block_fn() {
  return widest_build<DyadicBlockFn>(&avx512::dyadic_block, &avx2::dyadic_block, &dyadic_block_generic_fn);
}

}  // namespace korvex::kernels
