// Float-derived values read eight at a time straight from their residues (dyadic_words.h), in
// the lanes of one vector width. No include guard: included between lanes_begin.h and
// lanes_end.h, once per width.

// What the lanes read need at hand, broadcast once per job.
struct DyadicLaneConstants {
  Words p0, p1, inv01r, neg_inv1, half, full, dhalf, kmax, mult, slot_mask;
  const int32_t* pow2;
  int64_t pow2_row;
  const u64* slots;
  const u64* pairs;
  int kn, kd;
};

KORVEX_ALWAYS_INLINE DyadicLaneConstants dyadic_lane_constants(const exact::Constants& c, int kn, int kd) {
  const Pow2Lookup& look = pow2_lookup();
  DyadicLaneConstants l;
  l.p0 = set1((int64_t)c.mod[0].p);
  l.p1 = set1((int64_t)c.mod[1].p);
  // Garner's product by p_0^-1 mod p_1 as Montgomery's reduction of the product by
  // p_0^-1 2^32 (below 2^63): the plain digit.
  l.inv01r = set1((int64_t)((c.inv[0][1] << 32) % c.mod[1].p));
  l.neg_inv1 = set1((int64_t)exact::montgomery_neg_inv(c.mod[1].p));
  l.half = set1((int64_t)c.prefix_half[kn].w[0]);
  l.full = set1((int64_t)c.prefix_M[kn].w[0]);
  l.dhalf = set1((int64_t)c.prefix_half[kd < 2 ? kd : 2].w[0]);
  l.kmax = set1(c.prefix_half[kd].bit_length() - 1);
  l.mult = set1((int64_t)look.mult);
  l.slot_mask = set1((1 << Pow2Lookup::kSlotBits) - 1);
  l.pow2 = look.pow2;
  l.pow2_row = look.pow2_row;
  l.slots = look.slot_of;
  l.pairs = look.pair;
  l.kn = kn;
  l.kd = kd;
  return l;
}

// Eight elements: element i is mag_i / 2^k_i where lane i of `ok` is set, negative where lane i
// of `neg` is. Lanes outside `ok` (a denominator that is not 2^k, negative or zero included)
// are the caller's to read the exact way.
struct DyadicLanes {
  Words mag, k;
  Mask neg, ok;
};

// The residues at p (k <= 2 of them) as the value below P_k they stand for: Garner's two
// digits, one word.
KORVEX_ALWAYS_INLINE Words value_of(const DyadicLaneConstants& l, const int64_t* p, int64_t stride, int k) {
  const Words v = load(p);
  if (k < 2) return v;
  const Words r1 = load(p + stride);
  const Words r0 = csub(v, l.p1);  // p_0 > p_1: one subtraction
  const Words t = csub(sub(add(r1, l.p1), r0), l.p1);
  const Words d1 = redc(mul32(t, l.inv01r), l.p1, l.neg_inv1);
  return add(mul32(d1, l.p0), v);
}

// The numerator is Garner's two digits read in the symmetric range (kn <= 2: below 2^62, one
// word); the denominator's too where kd <= 2, else its k is looked up and then checked on all
// kd <= 4 residues. 2^k and the denominator both lie in [0, P_kd / 2] (k <= kmax), so agreeing
// modulo P_kd makes them equal.
KORVEX_ALWAYS_INLINE DyadicLanes dyadic_lanes(const DyadicLaneConstants& l, const int64_t* pn, const int64_t* pd,
                                              int64_t stride) {
  DyadicLanes out;
  const Words v = value_of(l, pn, stride, l.kn);
  out.neg = gt(v, l.half);
  out.mag = select(out.neg, sub(l.full, v), v);

  const Words one = set1(1);
  if (l.kd <= 2) {
    // The denominator itself, below 2^62: a power of two at most P_kd / 2 is 2^k, anything
    // else (a negative denominator included) is not. No table is read, where the lookup and
    // its check are two gathers, which AVX2 emulates.
    const Words dv = value_of(l, pd, stride, l.kd);
    out.ok = nonzero(dv) & ~nonzero(band(dv, sub(dv, one))) & ~gt(dv, l.dhalf);
    out.k = sub(bit_length(select(out.ok, dv, one)), one);
    return out;
  }
  const Words r0 = load(pd);
  const Words slot = band(shr<20>(mul32(r0, l.mult)), l.slot_mask);
  const Words e = gather_u64(l.slots, slot);
  // Every slot's k, an empty one's (0) too, lies in the table of pairs.
  const Words k = shr<32>(e);
  Mask ok = eq(band(e, set1(0xffffffff)), r0) & ~gt(k, l.kmax);
  ok = ok & eq(gather_u64(l.pairs, k), bor(load(pd + stride), shl<32>(load(pd + 2 * stride))));
  if (l.kd > 3) ok = ok & eq(gather_u32(l.pow2 + 3 * l.pow2_row, k), load(pd + 3 * stride));
  out.k = k;
  out.ok = ok;
  return out;
}

// The lanes as signed doubles, each the element's value itself where `exact` is set: a
// numerator below 2^53 over 2^k, k <= 123, is a normal double times an exact power of two.
KORVEX_ALWAYS_INLINE Doubles exact_doubles(const DyadicLanes& d, Mask& exact) {
  exact = d.ok & gt(set1(int64_t(1) << 53), d.mag);
  const Words scale = shl<52>(sub(set1(1023), d.k));
  const Doubles x = mul(to_doubles(d.mag), as_doubles(scale));
  return select(d.neg, negate(x), x);
}

// A job over elements [b, e), eight lanes at a time: out.lanes(k, x, exact) with each group's
// exact_doubles, then out.element(k) for each element whose lane is not exact, and for the
// ragged end.
template <class Out>
KORVEX_ALWAYS_INLINE void over_exact_lanes(const DyadicLaneConstants& l, const int64_t* pn, const int64_t* pd,
                                           int64_t stride, int64_t b, int64_t e, const Out& out) {
  int64_t k = b;
  for (; k + 8 <= e; k += 8) {
    Mask exact;
    const Doubles x = exact_doubles(dyadic_lanes(l, pn + k, pd + k, stride), exact);
    out.lanes(k, x, exact);
    const unsigned flags = bits(exact);
    if (flags != 0xff)
      for (int i = 0; i < 8; ++i)
        if (!(flags >> i & 1)) out.element(k + i);
  }
  for (; k < e; ++k) out.element(k);
}
