// The row loops of the field kernels and of dyadic values (field_rows.cpp), built once per
// vector width: no include guard, included by field_rows.cpp through lanes_both.h.
#include "kernels/cpu/lanes_begin.h"
namespace {

// Large result rows go around the caches (stream_row), a third of the memory traffic of a
// field operation; small results stay in the cache for the next operation. Calls, once per
// piece, rather than forced inline: the shared body that calls them is a baseline function
// until it is inlined here.
struct StreamedStores {
  void row(int64_t* __restrict dst, const int64_t* __restrict src, int64_t cnt, bool streamed) const {
    if (streamed)
      stream_row(dst, src, cnt);
    else
      std::memcpy(dst, src, cnt * sizeof(int64_t));
  }
  void end() const { stream_fence(); }
};

// The shared body of field_rows.cpp, which the compiler vectorises for this width.
template <FieldOp OP, bool AS, bool BS>
void field_row(const ModP m, const int64_t* an, const int64_t* ad, const int64_t* bn, const int64_t* bd, int64_t* on,
               int64_t* od, int64_t begin, int64_t end) {
  kernels::field_row<OP, AS, BS>(m, an, ad, bn, bd, on, od, begin, end, StreamedStores{});
}

// The compiler does not vectorise the gathers of the table: scaled_residue() by hand, eight
// lanes at a time, with the same Barrett steps. Two shapes of block skip work: no numerator
// scaled (every float below 2^53 in magnitude, a = 0: the factor is 1), and numerator and
// denominator scaled alike (integers, a = b: one gather serves both).
void dyadic_block(const ModP* mods, const int32_t* tab, int64_t tab_stride, const u64* mant, const int64_t* a,
                  const int64_t* b, const u64* neg, int64_t* on, int64_t* od, int64_t row_stride, int64_t cnt) {
  alignas(64) int64_t xn[kPiece], xd[kPiece];
  const bool streamed = row_stride >= kStreamedRow;
  bool unscaled = true, alike = true;
  for (int64_t i = 0; i < cnt; ++i) {
    unscaled = unscaled && a[i] == 0;
    alike = alike && a[i] == b[i];
  }
  for (int j = 0; j < exact::kPrimes; ++j) {
    const ModP m = mods[j];
    const int32_t* pw = tab + j * tab_stride;
    const Words vp = set1((int64_t)m.p), vmu = set1((int64_t)m.mu);
    for (int64_t lo = 0; lo < cnt; lo += kPiece) {
      const int64_t c = cnt - lo < kPiece ? cnt - lo : kPiece;
      // Rows that are not streamed take the residues directly.
      int64_t* rn = streamed ? xn : on + j * row_stride + lo;
      int64_t* rd = streamed ? xd : od + j * row_stride + lo;
      int64_t i = 0;
      for (; i + 8 <= c; i += 8) {
        const Words pb = gather_u32(pw, load(b + lo + i));
        Words r = reduce(load(mant + lo + i), vp, vmu);
        if (!unscaled) {
          const Words pa = alike ? pb : gather_u32(pw, load(a + lo + i));
          r = reduce(mul32(r, pa), vp, vmu);
        }
        const Mask flip = nonzero(load(neg + lo + i)) & nonzero(r);
        store(rn + i, select(flip, sub(vp, r), r));
        store(rd + i, pb);
      }
      dyadic_piece(m, pw, mant + lo, a + lo, b + lo, neg + lo, i, c, rn, rd);
      if (streamed) {
        stream_row(on + j * row_stride + lo, xn, c);
        stream_row(od + j * row_stride + lo, xd, c);
      }
    }
  }
  if (streamed) stream_fence();
}

// One row of a gather, its output around the caches (take_row_generic).
void take_row(const int64_t* in, const int32_t* ix, int64_t* out, int64_t k) {
  int64_t j = 0;
  for (; j < k && ((std::uintptr_t)(out + j) & 63) != 0; ++j) out[j] = in[ix[j]];
  for (; j + 8 <= k; j += 8) stream(out + j, gather_words(in, ix + j));
  for (; j < k; ++j) out[j] = in[ix[j]];
  stream_fence();
}

}  // namespace
#include "kernels/cpu/lanes_end.h"
