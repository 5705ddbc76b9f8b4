// The row loops of the field kernels and of dyadic values, each built for the baseline and for
// AVX-512 from one inline body (isa.h).
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

// Large result rows are written once and read by a later operation, long after they would
// have left the cache: streamed stores skip reading each line in before writing it, a third of
// the memory traffic of a field operation. Small results stay in the cache for the next
// operation. The fence orders the streamed stores before the job's completion.
struct PlainStores {
  KORVEX_ALWAYS_INLINE void row(int64_t* __restrict dst, const int64_t* __restrict src, int64_t cnt, bool) const {
    std::memcpy(dst, src, cnt * sizeof(int64_t));
  }
  KORVEX_ALWAYS_INLINE void end() const {}
};

// Its members are calls, once per piece, not inlined: the shared body that calls them is built
// for the baseline too, and may not inline AVX-512 code.
struct StreamedStores {
  KORVEX_AVX512 void row(int64_t* __restrict dst, const int64_t* __restrict src, int64_t cnt,
                                              bool stream) const {
    if (!stream) {
      std::memcpy(dst, src, cnt * sizeof(int64_t));
      return;
    }
    int64_t i = 0;
    for (; i < cnt && ((std::uintptr_t)(dst + i) & 63) != 0; ++i) dst[i] = src[i];
    for (; i + 8 <= cnt; i += 8) _mm512_stream_si512((__m512i*)(dst + i), _mm512_loadu_si512(src + i));
    for (; i < cnt; ++i) dst[i] = src[i];
  }
  KORVEX_AVX512 void end() const { _mm_sfence(); }
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

template <FieldOp OP, bool AS, bool BS>
KORVEX_AVX512 void field_row_avx512_t(const ModP m, const int64_t* an, const int64_t* ad, const int64_t* bn,
                                      const int64_t* bd, int64_t* on, int64_t* od, int64_t begin, int64_t end) {
  field_row<OP, AS, BS>(m, an, ad, bn, bd, on, od, begin, end, StreamedStores{});
}

template <FieldOp OP, bool AVX>
RowFn pick(bool as, bool bs) {
  if constexpr (AVX) {
    if (as) return bs ? &field_row_avx512_t<OP, true, true> : &field_row_avx512_t<OP, true, false>;
    return bs ? &field_row_avx512_t<OP, false, true> : &field_row_avx512_t<OP, false, false>;
  } else {
    if (as) return bs ? &field_row_generic_t<OP, true, true> : &field_row_generic_t<OP, true, false>;
    return bs ? &field_row_generic_t<OP, false, true> : &field_row_generic_t<OP, false, false>;
  }
}

template <bool AVX>
RowFn pick(FieldOp op, bool as, bool bs) {
  switch (op) {
    case FieldOp::Add: return pick<FieldOp::Add, AVX>(as, bs);
    case FieldOp::Sub: return pick<FieldOp::Sub, AVX>(as, bs);
    case FieldOp::Mul: return pick<FieldOp::Mul, AVX>(as, bs);
    default: return pick<FieldOp::Div, AVX>(as, bs);
  }
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

KORVEX_INTRINSICS_BEGIN
// The compiler does not vectorise the gathers of the table: scaled_residue() by hand, eight
// lanes at a time, with the same Barrett steps. Two shapes of block skip work: no numerator
// scaled (every float below 2^53 in magnitude, a = 0: the factor is 1), and numerator and
// denominator scaled alike (integers, a = b: one gather serves both).
KORVEX_AVX512 void dyadic_block_avx512_fn(const ModP* mods, const int32_t* tab, int64_t tab_stride, const u64* mant,
                                          const int64_t* a, const int64_t* b, const u64* neg, int64_t* on,
                                          int64_t* od, int64_t row_stride, int64_t cnt) {
  alignas(64) int64_t xn[kPiece], xd[kPiece];
  const bool stream = row_stride >= kStreamedRow;
  const StreamedStores stores;
  bool unscaled = true, alike = true;
  for (int64_t i = 0; i < cnt; ++i) {
    unscaled = unscaled && a[i] == 0;
    alike = alike && a[i] == b[i];
  }
  for (int j = 0; j < exact::kPrimes; ++j) {
    const ModP m = mods[j];
    const int32_t* pw = tab + j * tab_stride;
    const __m512i vp = _mm512_set1_epi64((long long)m.p), vmu = _mm512_set1_epi64((long long)m.mu);
    for (int64_t lo = 0; lo < cnt; lo += kPiece) {
      const int64_t c = cnt - lo < kPiece ? cnt - lo : kPiece;
      // Rows that are not streamed take the residues directly.
      int64_t* rn = stream ? xn : on + j * row_stride + lo;
      int64_t* rd = stream ? xd : od + j * row_stride + lo;
      int64_t i = 0;
      for (; i + 8 <= c; i += 8) {
        const __m512i pb = gather8(pw, _mm512_loadu_si512(b + lo + i));
        __m512i r = reduce8(_mm512_loadu_si512(mant + lo + i), vp, vmu);
        if (!unscaled) {
          const __m512i pa = alike ? pb : gather8(pw, _mm512_loadu_si512(a + lo + i));
          r = reduce8(_mm512_mul_epu32(r, pa), vp, vmu);
        }
        const __m512i sign = _mm512_loadu_si512(neg + lo + i);
        const __mmask8 flip = _mm512_test_epi64_mask(sign, sign) & _mm512_test_epi64_mask(r, r);
        _mm512_storeu_si512(rn + i, _mm512_mask_sub_epi64(r, flip, vp, r));
        _mm512_storeu_si512(rd + i, pb);
      }
      dyadic_piece(m, pw, mant + lo, a + lo, b + lo, neg + lo, i, c, rn, rd);
      if (stream) {
        stores.row(on + j * row_stride + lo, xn, c, true);
        stores.row(od + j * row_stride + lo, xd, c, true);
      }
    }
  }
  if (stream) stores.end();
}
KORVEX_INTRINSICS_END

}  // namespace

RowFn field_row_generic(FieldOp op, bool as, bool bs) { return pick<false>(op, as, bs); }
RowFn field_row_avx512(FieldOp op, bool as, bool bs) { return pick<true>(op, as, bs); }
DyadicBlockFn dyadic_block_generic() { return &dyadic_block_generic_fn; }
DyadicBlockFn dyadic_block_avx512() { return &dyadic_block_avx512_fn; }

}  // namespace korvex::kernels
