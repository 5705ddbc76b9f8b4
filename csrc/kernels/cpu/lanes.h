// Eight 64-bit lanes, for the loops written once and built for each vector width: one
// AVX-512 register, or two AVX2 registers where the CPU has no AVX-512. No include guard: it is
// included between lanes_begin.h and lanes_end.h, once per width, into that width's namespace.
//
// Unless an operation says otherwise, a lane holds a value below 2^63, so that AVX2's signed
// comparisons order lanes as unsigned ones would; where a difference may wrap, csub is the
// conditional subtraction that never compares a wrapped value.

#if KORVEX_LANES_WIDE

struct Words {
  __m512i v;
};
struct Mask {
  __mmask8 m;
};
struct Doubles {
  __m512d v;
};

KORVEX_ALWAYS_INLINE Words load(const void* p) { return {_mm512_loadu_si512(p)}; }
KORVEX_ALWAYS_INLINE void store(void* p, Words x) { _mm512_storeu_si512(p, x.v); }
KORVEX_ALWAYS_INLINE Words set1(int64_t x) { return {_mm512_set1_epi64(x)}; }
KORVEX_ALWAYS_INLINE Words zero() { return {_mm512_setzero_si512()}; }
// Eight int32 zero-extended.
KORVEX_ALWAYS_INLINE Words load_u32(const int32_t* p) {
  return {_mm512_cvtepu32_epi64(_mm256_loadu_si256((const __m256i*)p))};
}
KORVEX_ALWAYS_INLINE void store_i32(int32_t* p, Words x) { _mm256_storeu_si256((__m256i*)p, _mm512_cvtepi64_epi32(x.v)); }
// A store around the caches, p 64-byte aligned.
KORVEX_ALWAYS_INLINE void stream(void* p, Words x) { _mm512_stream_si512((__m512i*)p, x.v); }

KORVEX_ALWAYS_INLINE Words add(Words a, Words b) { return {_mm512_add_epi64(a.v, b.v)}; }
KORVEX_ALWAYS_INLINE Words sub(Words a, Words b) { return {_mm512_sub_epi64(a.v, b.v)}; }
KORVEX_ALWAYS_INLINE Words band(Words a, Words b) { return {_mm512_and_si512(a.v, b.v)}; }
KORVEX_ALWAYS_INLINE Words bor(Words a, Words b) { return {_mm512_or_si512(a.v, b.v)}; }
// a >> n lane by lane; 0 where n > 63.
KORVEX_ALWAYS_INLINE Words shr(Words a, Words n) { return {_mm512_srlv_epi64(a.v, n.v)}; }
// The product of the lanes' low 32 bits.
KORVEX_ALWAYS_INLINE Words mul32(Words a, Words b) { return {_mm512_mul_epu32(a.v, b.v)}; }
template <int N>
KORVEX_ALWAYS_INLINE Words shr(Words a) {
  return {_mm512_srli_epi64(a.v, N)};
}
template <int N>
KORVEX_ALWAYS_INLINE Words shl(Words a) {
  return {_mm512_slli_epi64(a.v, N)};
}
// r - p where r >= p, else r. Any r: r - p wraps above r exactly when r < p.
KORVEX_ALWAYS_INLINE Words csub(Words r, Words p) { return {_mm512_min_epu64(r.v, _mm512_sub_epi64(r.v, p.v))}; }
// Signed, any lanes.
KORVEX_ALWAYS_INLINE Words max(Words a, Words b) { return {_mm512_max_epi64(a.v, b.v)}; }
KORVEX_ALWAYS_INLINE Words min(Words a, Words b) { return {_mm512_min_epi64(a.v, b.v)}; }
KORVEX_ALWAYS_INLINE int64_t max_lane(Words a) { return _mm512_reduce_max_epi64(a.v); }
KORVEX_ALWAYS_INLINE int64_t min_lane(Words a) { return _mm512_reduce_min_epi64(a.v); }
KORVEX_ALWAYS_INLINE int64_t sum_lanes(Words a) { return _mm512_reduce_add_epi64(a.v); }
// Eight int32 sign-extended, zero-extended; eight bytes zero-extended.
KORVEX_ALWAYS_INLINE Words widen_i32(__m256i x) { return {_mm512_cvtepi32_epi64(x)}; }
KORVEX_ALWAYS_INLINE Words widen_u32(__m256i x) { return {_mm512_cvtepu32_epi64(x)}; }
KORVEX_ALWAYS_INLINE Words load_u8(const uint8_t* p) { return {_mm512_cvtepu8_epi64(_mm_loadl_epi64((const __m128i*)p))}; }
// floor(log2 a) + 1 for 0 < a < 2^62, from the exponent of a conversion that truncates.
KORVEX_ALWAYS_INLINE Words bit_length(Words a) {
  const __m512d m = _mm512_cvt_roundepu64_pd(a.v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  return {_mm512_sub_epi64(_mm512_srli_epi64(_mm512_castpd_si512(m), 52), _mm512_set1_epi64(1022))};
}
// The same for 0 < a < 2^52, where AVX2 has a cheaper way.
KORVEX_ALWAYS_INLINE Words bit_length_narrow(Words a) { return bit_length(a); }

KORVEX_ALWAYS_INLINE Mask gt(Words a, Words b) { return {_mm512_cmpgt_epi64_mask(a.v, b.v)}; }
KORVEX_ALWAYS_INLINE Mask eq(Words a, Words b) { return {_mm512_cmpeq_epi64_mask(a.v, b.v)}; }
KORVEX_ALWAYS_INLINE Mask nonzero(Words a) { return {_mm512_test_epi64_mask(a.v, a.v)}; }
KORVEX_ALWAYS_INLINE Mask operator&(Mask a, Mask b) { return {(__mmask8)(a.m & b.m)}; }
KORVEX_ALWAYS_INLINE Mask operator|(Mask a, Mask b) { return {(__mmask8)(a.m | b.m)}; }
KORVEX_ALWAYS_INLINE Mask operator^(Mask a, Mask b) { return {(__mmask8)(a.m ^ b.m)}; }
KORVEX_ALWAYS_INLINE Mask operator~(Mask a) { return {(__mmask8)~a.m}; }
// Lane i's flag at bit i.
KORVEX_ALWAYS_INLINE unsigned bits(Mask a) { return a.m; }
// The first n lanes.
KORVEX_ALWAYS_INLINE Mask first(int n) { return {(__mmask8)((1u << n) - 1)}; }
// a where m is set, else b.
KORVEX_ALWAYS_INLINE Words select(Mask m, Words a, Words b) { return {_mm512_mask_mov_epi64(b.v, m.m, a.v)}; }
KORVEX_ALWAYS_INLINE Doubles select(Mask m, Doubles a, Doubles b) { return {_mm512_mask_mov_pd(b.v, m.m, a.v)}; }

// table[idx] for each lane's index, zero-extended; the masked form with a zero source, since
// the plain one starts from an undefined register.
KORVEX_ALWAYS_INLINE Words gather_u32(const int32_t* table, Words idx) {
  const __m256i w = _mm512_mask_i64gather_epi32(_mm256_setzero_si256(), 0xff, idx.v, table, 4);
  return {_mm512_maskz_cvtepu32_epi64(0xff, w)};
}

// table[idx] for eight 64-bit indices.
KORVEX_ALWAYS_INLINE Words gather_u64(const std::uint64_t* table, Words idx) {
  return {_mm512_i64gather_epi64(idx.v, (const long long*)table, 8)};
}

// table[idx[i]] for eight int32 indices.
KORVEX_ALWAYS_INLINE Words gather_words(const int64_t* table, const int32_t* idx) {
  const __m256i i = _mm256_loadu_si256((const __m256i*)idx);
  return {_mm512_mask_i32gather_epi64(_mm512_setzero_si512(), 0xff, i, table, 8)};
}

// Lanes below 2^53, converted exactly (others rounded).
KORVEX_ALWAYS_INLINE Doubles to_doubles(Words a) { return {_mm512_cvtepu64_pd(a.v)}; }
KORVEX_ALWAYS_INLINE Doubles as_doubles(Words a) { return {_mm512_castsi512_pd(a.v)}; }
KORVEX_ALWAYS_INLINE Words as_words(Doubles a) { return {_mm512_castpd_si512(a.v)}; }
// Lanes of magnitude below 2^51, converted exactly.
KORVEX_ALWAYS_INLINE Doubles signed_to_doubles(Words a) { return {_mm512_cvtepi64_pd(a.v)}; }
// The magnitudes of integral lanes below 2^53, and which lanes are negative.
KORVEX_ALWAYS_INLINE Words magnitudes(Doubles x) { return {_mm512_abs_epi64(_mm512_cvttpd_epi64(x.v))}; }
KORVEX_ALWAYS_INLINE Mask negative(Doubles x) { return {_mm512_cmp_pd_mask(x.v, _mm512_setzero_pd(), _CMP_LT_OQ)}; }
KORVEX_ALWAYS_INLINE Doubles fmadd(Doubles a, Doubles b, Doubles c) { return {_mm512_fmadd_pd(a.v, b.v, c.v)}; }
KORVEX_ALWAYS_INLINE Doubles mul(Doubles a, Doubles b) { return {_mm512_mul_pd(a.v, b.v)}; }
KORVEX_ALWAYS_INLINE Doubles negate(Doubles a) { return {_mm512_sub_pd(_mm512_setzero_pd(), a.v)}; }
KORVEX_ALWAYS_INLINE Doubles load_doubles(const double* p) { return {_mm512_loadu_pd(p)}; }
KORVEX_ALWAYS_INLINE Doubles set1_double(double x) { return {_mm512_set1_pd(x)}; }
KORVEX_ALWAYS_INLINE bool any_nan(Doubles x) { return _mm512_cmp_pd_mask(x.v, x.v, _CMP_UNORD_Q) != 0; }
KORVEX_ALWAYS_INLINE void store(double* p, Doubles x) { _mm512_storeu_pd(p, x.v); }
KORVEX_ALWAYS_INLINE void store_floats(float* p, Doubles x) { _mm256_storeu_ps(p, _mm512_cvtpd_ps(x.v)); }

// dst[c * ds + r] = src[r * ss + c] for an 8 x 8 block of 64-bit words: three rounds of
// interleaving, pairs of words, then pairs and quads of 128-bit lanes.
KORVEX_ALWAYS_INLINE void transpose8x8(const int64_t* src, int64_t ss, int64_t* dst, int64_t ds) {
  __m512i r[8], t[8], u[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm512_loadu_si512(src + i * ss);
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm512_unpacklo_epi64(r[i], r[i + 1]);
    t[i + 1] = _mm512_unpackhi_epi64(r[i], r[i + 1]);
  }
  for (int i = 0; i < 8; i += 4) {
    u[i] = _mm512_shuffle_i64x2(t[i], t[i + 2], 0x88);
    u[i + 1] = _mm512_shuffle_i64x2(t[i], t[i + 2], 0xdd);
    u[i + 2] = _mm512_shuffle_i64x2(t[i + 1], t[i + 3], 0x88);
    u[i + 3] = _mm512_shuffle_i64x2(t[i + 1], t[i + 3], 0xdd);
  }
  // u[0], u[4]: words 0 and 4 of rows 0-3 and 4-7; u[2], u[6] words 1 and 5; u[1], u[5] words
  // 2 and 6; u[3], u[7] words 3 and 7.
  constexpr int from[4] = {0, 2, 1, 3};
  for (int w = 0; w < 4; ++w) {
    _mm512_storeu_si512(dst + w * ds, _mm512_shuffle_i64x2(u[from[w]], u[from[w] + 4], 0x88));
    _mm512_storeu_si512(dst + (w + 4) * ds, _mm512_shuffle_i64x2(u[from[w]], u[from[w] + 4], 0xdd));
  }
}
#else

struct Words {
  __m256i lo, hi;
};
struct Mask {
  __m256i lo, hi;  // each lane all ones or all zeros
};
struct Doubles {
  __m256d lo, hi;
};

// One AVX2 operation on both halves.
#define KORVEX_BOTH(op, a, b) Words{op((a).lo, (b).lo), op((a).hi, (b).hi)}

KORVEX_ALWAYS_INLINE Words load(const void* p) {
  const __m256i* q = (const __m256i*)p;
  return {_mm256_loadu_si256(q), _mm256_loadu_si256(q + 1)};
}
KORVEX_ALWAYS_INLINE void store(void* p, Words x) {
  __m256i* q = (__m256i*)p;
  _mm256_storeu_si256(q, x.lo);
  _mm256_storeu_si256(q + 1, x.hi);
}
KORVEX_ALWAYS_INLINE void stream(void* p, Words x) {
  __m256i* q = (__m256i*)p;
  _mm256_stream_si256(q, x.lo);
  _mm256_stream_si256(q + 1, x.hi);
}
KORVEX_ALWAYS_INLINE Words set1(int64_t x) { return {_mm256_set1_epi64x(x), _mm256_set1_epi64x(x)}; }
KORVEX_ALWAYS_INLINE Words zero() { return {_mm256_setzero_si256(), _mm256_setzero_si256()}; }
KORVEX_ALWAYS_INLINE Words load_u32(const int32_t* p) {
  return {_mm256_cvtepu32_epi64(_mm_loadu_si128((const __m128i*)p)),
          _mm256_cvtepu32_epi64(_mm_loadu_si128((const __m128i*)(p + 4)))};
}
// The low halves of each lane's word, in order.
KORVEX_ALWAYS_INLINE __m128i low_halves(__m256i x) {
  const __m256i packed = _mm256_permutevar8x32_epi32(x, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
  return _mm256_castsi256_si128(packed);
}
KORVEX_ALWAYS_INLINE void store_i32(int32_t* p, Words x) {
  _mm_storeu_si128((__m128i*)p, low_halves(x.lo));
  _mm_storeu_si128((__m128i*)(p + 4), low_halves(x.hi));
}

KORVEX_ALWAYS_INLINE Words add(Words a, Words b) { return KORVEX_BOTH(_mm256_add_epi64, a, b); }
KORVEX_ALWAYS_INLINE Words sub(Words a, Words b) { return KORVEX_BOTH(_mm256_sub_epi64, a, b); }
KORVEX_ALWAYS_INLINE Words band(Words a, Words b) { return KORVEX_BOTH(_mm256_and_si256, a, b); }
KORVEX_ALWAYS_INLINE Words bor(Words a, Words b) { return KORVEX_BOTH(_mm256_or_si256, a, b); }
KORVEX_ALWAYS_INLINE Words shr(Words a, Words n) { return KORVEX_BOTH(_mm256_srlv_epi64, a, n); }
KORVEX_ALWAYS_INLINE Words mul32(Words a, Words b) { return KORVEX_BOTH(_mm256_mul_epu32, a, b); }
template <int N>
KORVEX_ALWAYS_INLINE Words shr(Words a) {
  return {_mm256_srli_epi64(a.lo, N), _mm256_srli_epi64(a.hi, N)};
}
template <int N>
KORVEX_ALWAYS_INLINE Words shl(Words a) {
  return {_mm256_slli_epi64(a.lo, N), _mm256_slli_epi64(a.hi, N)};
}
// r, p below 2^63: the signed comparison decides, not the wrapped difference.
KORVEX_ALWAYS_INLINE __m256i csub(__m256i r, __m256i p) {
  return _mm256_blendv_epi8(_mm256_sub_epi64(r, p), r, _mm256_cmpgt_epi64(p, r));
}
KORVEX_ALWAYS_INLINE Words csub(Words r, Words p) { return KORVEX_BOTH(csub, r, p); }
KORVEX_ALWAYS_INLINE __m256i max(__m256i a, __m256i b) { return _mm256_blendv_epi8(a, b, _mm256_cmpgt_epi64(b, a)); }
KORVEX_ALWAYS_INLINE Words max(Words a, Words b) { return KORVEX_BOTH(max, a, b); }
KORVEX_ALWAYS_INLINE __m256i min(__m256i a, __m256i b) { return _mm256_blendv_epi8(a, b, _mm256_cmpgt_epi64(a, b)); }
KORVEX_ALWAYS_INLINE Words min(Words a, Words b) { return KORVEX_BOTH(min, a, b); }
KORVEX_ALWAYS_INLINE int64_t max_lane(Words a) {
  alignas(32) int64_t x[8];
  store(x, a);
  return *std::max_element(x, x + 8);
}
KORVEX_ALWAYS_INLINE int64_t min_lane(Words a) {
  alignas(32) int64_t x[8];
  store(x, a);
  return *std::min_element(x, x + 8);
}
KORVEX_ALWAYS_INLINE int64_t sum_lanes(Words a) {
  alignas(32) int64_t x[8];
  store(x, add(Words{a.lo, a.hi}, Words{a.hi, a.lo}));
  return x[0] + x[1] + x[2] + x[3];
}
KORVEX_ALWAYS_INLINE Words widen_i32(__m256i x) {
  return {_mm256_cvtepi32_epi64(_mm256_castsi256_si128(x)), _mm256_cvtepi32_epi64(_mm256_extracti128_si256(x, 1))};
}
KORVEX_ALWAYS_INLINE Words widen_u32(__m256i x) {
  return {_mm256_cvtepu32_epi64(_mm256_castsi256_si128(x)), _mm256_cvtepu32_epi64(_mm256_extracti128_si256(x, 1))};
}
KORVEX_ALWAYS_INLINE Words load_u8(const uint8_t* p) {
  const __m128i b = _mm_loadl_epi64((const __m128i*)p);
  return {_mm256_cvtepu8_epi64(b), _mm256_cvtepu8_epi64(_mm_srli_si128(b, 4))};
}

KORVEX_ALWAYS_INLINE Mask gt(Words a, Words b) { return {_mm256_cmpgt_epi64(a.lo, b.lo), _mm256_cmpgt_epi64(a.hi, b.hi)}; }
KORVEX_ALWAYS_INLINE Mask eq(Words a, Words b) { return {_mm256_cmpeq_epi64(a.lo, b.lo), _mm256_cmpeq_epi64(a.hi, b.hi)}; }
KORVEX_ALWAYS_INLINE Mask nonzero(Words a) {
  const __m256i z = _mm256_setzero_si256(), ones = _mm256_set1_epi64x(-1);
  return {_mm256_andnot_si256(_mm256_cmpeq_epi64(a.lo, z), ones), _mm256_andnot_si256(_mm256_cmpeq_epi64(a.hi, z), ones)};
}
KORVEX_ALWAYS_INLINE Mask operator&(Mask a, Mask b) { return {_mm256_and_si256(a.lo, b.lo), _mm256_and_si256(a.hi, b.hi)}; }
KORVEX_ALWAYS_INLINE Mask operator|(Mask a, Mask b) { return {_mm256_or_si256(a.lo, b.lo), _mm256_or_si256(a.hi, b.hi)}; }
KORVEX_ALWAYS_INLINE Mask operator^(Mask a, Mask b) { return {_mm256_xor_si256(a.lo, b.lo), _mm256_xor_si256(a.hi, b.hi)}; }
KORVEX_ALWAYS_INLINE Mask operator~(Mask a) {
  const __m256i ones = _mm256_set1_epi64x(-1);
  return {_mm256_xor_si256(a.lo, ones), _mm256_xor_si256(a.hi, ones)};
}
KORVEX_ALWAYS_INLINE unsigned bits(Mask a) {
  return (unsigned)_mm256_movemask_pd(_mm256_castsi256_pd(a.lo)) |
         (unsigned)_mm256_movemask_pd(_mm256_castsi256_pd(a.hi)) << 4;
}
KORVEX_ALWAYS_INLINE Mask first(int n) {
  const __m256i i = _mm256_setr_epi64x(0, 1, 2, 3), c = _mm256_set1_epi64x(n);
  return {_mm256_cmpgt_epi64(c, i), _mm256_cmpgt_epi64(c, _mm256_add_epi64(i, _mm256_set1_epi64x(4)))};
}
KORVEX_ALWAYS_INLINE Words select(Mask m, Words a, Words b) {
  return {_mm256_blendv_epi8(b.lo, a.lo, m.lo), _mm256_blendv_epi8(b.hi, a.hi, m.hi)};
}
KORVEX_ALWAYS_INLINE Doubles select(Mask m, Doubles a, Doubles b) {
  return {_mm256_blendv_pd(b.lo, a.lo, _mm256_castsi256_pd(m.lo)), _mm256_blendv_pd(b.hi, a.hi, _mm256_castsi256_pd(m.hi))};
}

// The gathers by scalar loads: AMD's Zen 2 and 3 run AVX2's gather instructions as microcode,
// slower than the loads they stand for (the exact sum of 1e6 floats took 3.8 ms with them, 2.95
// ms without).
// Entries zero-extended (U the table's unsigned type).
template <class U, class T>
KORVEX_ALWAYS_INLINE Words gather_by_loads(const T* table, Words idx) {
  alignas(32) int64_t at[8];
  store(at, idx);
  const auto t = [&](int i) { return (int64_t)(U)table[at[i]]; };
  return {_mm256_setr_epi64x(t(0), t(1), t(2), t(3)), _mm256_setr_epi64x(t(4), t(5), t(6), t(7))};
}
KORVEX_ALWAYS_INLINE Words gather_u32(const int32_t* table, Words idx) { return gather_by_loads<uint32_t>(table, idx); }
KORVEX_ALWAYS_INLINE Words gather_u64(const std::uint64_t* table, Words idx) {
  return gather_by_loads<std::uint64_t>(table, idx);
}

KORVEX_ALWAYS_INLINE Words gather_words(const int64_t* table, const int32_t* idx) {
  const auto t = [&](int i) { return table[idx[i]]; };
  return {_mm256_setr_epi64x(t(0), t(1), t(2), t(3)), _mm256_setr_epi64x(t(4), t(5), t(6), t(7))};
}

// AVX2 converts no 64-bit integers: the high and low 32 bits each placed in the mantissa of a
// double of known exponent (2^84 and 2^52), the offsets taken off the high part exactly, and
// the one rounding left to the final sum.
KORVEX_ALWAYS_INLINE __m256d to_doubles(__m256i x) {
  const __m256i hi = _mm256_or_si256(_mm256_srli_epi64(x, 32), _mm256_castpd_si256(_mm256_set1_pd(0x1p84)));
  const __m256i lo = _mm256_blend_epi32(x, _mm256_castpd_si256(_mm256_set1_pd(0x1p52)), 0xaa);
  const __m256d h = _mm256_sub_pd(_mm256_castsi256_pd(hi), _mm256_set1_pd(0x1p84 + 0x1p52));
  return _mm256_add_pd(h, _mm256_castsi256_pd(lo));
}
KORVEX_ALWAYS_INLINE Doubles to_doubles(Words a) { return {to_doubles(a.lo), to_doubles(a.hi)}; }
// As the AVX-512 form. Rounded to nearest, a magnitude just below a power of two from 2^53 up
// would convert to that power: its ten low bits are cleared first, which leaves it 52
// significant bits and its floor(log2).
KORVEX_ALWAYS_INLINE Words bit_length(Words a) {
  const Words wide = set1((int64_t(1) << 53) - 1);
  const Words x = select(gt(a, wide), band(a, set1(~int64_t(1023))), a);
  const Doubles m = to_doubles(x);
  return {_mm256_sub_epi64(_mm256_srli_epi64(_mm256_castpd_si256(m.lo), 52), _mm256_set1_epi64x(1022)),
          _mm256_sub_epi64(_mm256_srli_epi64(_mm256_castpd_si256(m.hi), 52), _mm256_set1_epi64x(1022))};
}
// For 0 < a < 2^52: a placed in the mantissa of 2^52, which takes 2^52 off exactly.
KORVEX_ALWAYS_INLINE __m256i bit_length_narrow(__m256i a) {
  const __m256d magic = _mm256_set1_pd(0x1p52);
  const __m256d m = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(a, _mm256_castpd_si256(magic))), magic);
  return _mm256_sub_epi64(_mm256_srli_epi64(_mm256_castpd_si256(m), 52), _mm256_set1_epi64x(1022));
}
KORVEX_ALWAYS_INLINE Words bit_length_narrow(Words a) { return {bit_length_narrow(a.lo), bit_length_narrow(a.hi)}; }
KORVEX_ALWAYS_INLINE Doubles as_doubles(Words a) { return {_mm256_castsi256_pd(a.lo), _mm256_castsi256_pd(a.hi)}; }
KORVEX_ALWAYS_INLINE Words as_words(Doubles a) { return {_mm256_castpd_si256(a.lo), _mm256_castpd_si256(a.hi)}; }
// 2^52 + 2^51 holds every such lane in its mantissa, two's complement about its middle.
KORVEX_ALWAYS_INLINE __m256d signed_to_doubles(__m256i x) {
  const __m256d magic = _mm256_set1_pd(0x1.8p52);
  return _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(x, _mm256_castpd_si256(magic))), magic);
}
KORVEX_ALWAYS_INLINE Doubles signed_to_doubles(Words a) { return {signed_to_doubles(a.lo), signed_to_doubles(a.hi)}; }
// An integral |x| < 2^53 is its mantissa with the implicit bit, shifted right by 52 less its
// exponent; zero's shift count passes 63, which AVX2 shifts to zero.
KORVEX_ALWAYS_INLINE __m256i magnitudes(__m256d x) {
  const __m256i bits = _mm256_andnot_si256(_mm256_set1_epi64x(INT64_MIN), _mm256_castpd_si256(x));
  const __m256i mant = _mm256_or_si256(_mm256_and_si256(bits, _mm256_set1_epi64x((int64_t(1) << 52) - 1)),
                                       _mm256_set1_epi64x(int64_t(1) << 52));
  const __m256i count = _mm256_sub_epi64(_mm256_set1_epi64x(1075), _mm256_srli_epi64(bits, 52));
  return _mm256_srlv_epi64(mant, count);
}
KORVEX_ALWAYS_INLINE Words magnitudes(Doubles x) { return {magnitudes(x.lo), magnitudes(x.hi)}; }
KORVEX_ALWAYS_INLINE Mask negative(Doubles x) {
  const __m256d z = _mm256_setzero_pd();
  return {_mm256_castpd_si256(_mm256_cmp_pd(x.lo, z, _CMP_LT_OQ)), _mm256_castpd_si256(_mm256_cmp_pd(x.hi, z, _CMP_LT_OQ))};
}
KORVEX_ALWAYS_INLINE Doubles fmadd(Doubles a, Doubles b, Doubles c) {
  return {_mm256_fmadd_pd(a.lo, b.lo, c.lo), _mm256_fmadd_pd(a.hi, b.hi, c.hi)};
}
KORVEX_ALWAYS_INLINE Doubles mul(Doubles a, Doubles b) { return {_mm256_mul_pd(a.lo, b.lo), _mm256_mul_pd(a.hi, b.hi)}; }
KORVEX_ALWAYS_INLINE Doubles negate(Doubles a) {
  const __m256d z = _mm256_setzero_pd();
  return {_mm256_sub_pd(z, a.lo), _mm256_sub_pd(z, a.hi)};
}
KORVEX_ALWAYS_INLINE Doubles load_doubles(const double* p) { return {_mm256_loadu_pd(p), _mm256_loadu_pd(p + 4)}; }
KORVEX_ALWAYS_INLINE Doubles set1_double(double x) { return {_mm256_set1_pd(x), _mm256_set1_pd(x)}; }
KORVEX_ALWAYS_INLINE bool any_nan(Doubles x) {
  return _mm256_movemask_pd(_mm256_or_pd(_mm256_cmp_pd(x.lo, x.lo, _CMP_UNORD_Q), _mm256_cmp_pd(x.hi, x.hi, _CMP_UNORD_Q))) != 0;
}
KORVEX_ALWAYS_INLINE void store(double* p, Doubles x) {
  _mm256_storeu_pd(p, x.lo);
  _mm256_storeu_pd(p + 4, x.hi);
}
KORVEX_ALWAYS_INLINE void store_floats(float* p, Doubles x) {
  _mm_storeu_ps(p, _mm256_cvtpd_ps(x.lo));
  _mm_storeu_ps(p + 4, _mm256_cvtpd_ps(x.hi));
}

// dst[c * ds + r] = src[r * ss + c] for a 4 x 4 block: pairs of words, then 128-bit lanes.
KORVEX_ALWAYS_INLINE void transpose4x4(const int64_t* src, int64_t ss, int64_t* dst, int64_t ds) {
  __m256i r[4], t[4];
  for (int i = 0; i < 4; ++i) r[i] = _mm256_loadu_si256((const __m256i*)(src + i * ss));
  for (int i = 0; i < 4; i += 2) {
    t[i] = _mm256_unpacklo_epi64(r[i], r[i + 1]);
    t[i + 1] = _mm256_unpackhi_epi64(r[i], r[i + 1]);
  }
  _mm256_storeu_si256((__m256i*)dst, _mm256_permute2x128_si256(t[0], t[2], 0x20));
  _mm256_storeu_si256((__m256i*)(dst + ds), _mm256_permute2x128_si256(t[1], t[3], 0x20));
  _mm256_storeu_si256((__m256i*)(dst + 2 * ds), _mm256_permute2x128_si256(t[0], t[2], 0x31));
  _mm256_storeu_si256((__m256i*)(dst + 3 * ds), _mm256_permute2x128_si256(t[1], t[3], 0x31));
}
// The 8 x 8 block as four 4 x 4 ones, the off-diagonal pair crossed.
KORVEX_ALWAYS_INLINE void transpose8x8(const int64_t* src, int64_t ss, int64_t* dst, int64_t ds) {
  transpose4x4(src, ss, dst, ds);
  transpose4x4(src + 4, ss, dst + 4 * ds, ds);
  transpose4x4(src + 4 * ss, ss, dst + 4, ds);
  transpose4x4(src + 4 * ss + 4, ss, dst + 4 * ds + 4, ds);
}

#undef KORVEX_BOTH

#endif

// dst[0, cnt) = src[0, cnt), the aligned lines around the caches: for rows written once and
// read by a later operation, long after they would have left the cache, which saves reading
// each line in before writing it. stream_fence() orders them before the job's completion.
KORVEX_ALWAYS_INLINE void stream_row(int64_t* __restrict dst, const int64_t* __restrict src, int64_t cnt) {
  int64_t i = 0;
  for (; i < cnt && ((std::uintptr_t)(dst + i) & 63) != 0; ++i) dst[i] = src[i];
  for (; i + 8 <= cnt; i += 8) stream(dst + i, load(src + i));
  for (; i < cnt; ++i) dst[i] = src[i];
}
KORVEX_ALWAYS_INLINE void stream_fence() { _mm_sfence(); }

// table[idx] for eight int32 indices, zero-extended.
#if KORVEX_LANES_WIDE
KORVEX_ALWAYS_INLINE Words gather_u32(const int32_t* table, __m256i idx) {
  return widen_u32(_mm256_i32gather_epi32(table, idx, 4));
}
#else
KORVEX_ALWAYS_INLINE Words gather_u32(const int32_t* table, __m256i idx) {
  alignas(32) int32_t at[8];
  _mm256_store_si256((__m256i*)at, idx);
  const auto t = [&](int i) { return (int64_t)(uint32_t)table[at[i]]; };
  return {_mm256_setr_epi64x(t(0), t(1), t(2), t(3)), _mm256_setr_epi64x(t(4), t(5), t(6), t(7))};
}
#endif
// Mask of the nonzero among eight int32 flags.
KORVEX_ALWAYS_INLINE Mask flags(const int32_t* p) { return nonzero(load_u32(p)); }

// 2^s for each lane's |s| < 1023, exactly.
KORVEX_ALWAYS_INLINE Doubles pow2(Words s) { return as_doubles(shl<52>(add(s, set1(1023)))); }
// The lowest set bit's position for 0 < a < 2^62: that bit alone converts exactly.
KORVEX_ALWAYS_INLINE Words trailing_zeros(Words a) {
  return sub(shr<52>(as_words(to_doubles(band(a, sub(zero(), a))))), set1(1023));
}
// For 0 < a < 2^53: the lowest set bit is then at most 2^52, which the 2^52 placement still
// takes exactly (2^52 in 2^52's mantissa reads as 2^53, less 2^52).
KORVEX_ALWAYS_INLINE Words trailing_zeros_narrow(Words a) {
  return sub(bit_length_narrow(band(a, sub(zero(), a))), set1(1));
}
// bit_length of |x| for integral doubles |x| >= 1: their exponents.
KORVEX_ALWAYS_INLINE Words bit_length_of_integral(Doubles x) {
  return sub(shr<52>(band(as_words(x), set1(INT64_MAX))), set1(1022));
}

// ModP::reduce (x < 2^62) on the lanes, p and mu the prime and its mu broadcast.
KORVEX_ALWAYS_INLINE Words reduce(Words x, Words p, Words mu) {
  const Words q = shr<32>(mul32(shr<30>(x), mu));
  return csub(csub(sub(x, mul32(q, p)), p), p);
}
// Montgomery's x 2^-32 mod p for x < p 2^32, neg_inv = montgomery_neg_inv(p) broadcast: x plus
// the multiple of p that clears its low 32 bits stays below 2^64, and over 2^32 below 2 p, so
// one correction where Barrett's estimate takes two.
KORVEX_ALWAYS_INLINE Words redc(Words x, Words p, Words neg_inv) {
  return csub(shr<32>(add(x, mul32(mul32(x, neg_inv), p))), p);
}
