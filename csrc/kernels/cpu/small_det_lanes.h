// The lanes of the small determinants and systems (small_det.cpp), built once per vector width:
// no include guard, included by small_det.cpp through lanes_both.h.
#include "kernels/cpu/lanes_begin.h"
namespace {

#include "kernels/cpu/dyadic_lanes.h"

bool dyadic_entries(const int64_t* pn, const int64_t* pd, int64_t stride, int count, int kn, int kd,
                    DyadicEntry* out) {
  const DyadicLaneConstants l = dyadic_lane_constants(exact::constants(), kn, kd);
  // The lanes read eight at a time: padded copies, numerators 0 over denominators 1 past the end.
  alignas(64) int64_t bn[2][kPadded], bd[4][kPadded];
  for (int j = 0; j < kn; ++j) {
    std::copy_n(pn + j * stride, count, bn[j]);
    std::fill(bn[j] + count, bn[j] + kPadded, 0);
  }
  for (int j = 0; j < kd; ++j) {
    std::copy_n(pd + j * stride, count, bd[j]);
    std::fill(bd[j] + count, bd[j] + kPadded, 1);
  }
  alignas(64) std::uint64_t mag[8];
  alignas(64) int64_t k[8];
  for (int b = 0; b < count; b += 8) {
    const DyadicLanes d = dyadic_lanes(l, bn[0] + b, bd[0] + b, kPadded);
    if (bits(d.ok) != 0xff) return false;
    store(mag, d.mag);
    store(k, d.k);
    const unsigned neg = bits(d.neg);
    for (int i = 0; i < 8 && b + i < count; ++i) out[b + i] = {mag[i], (int32_t)k[i], (neg >> i & 1) != 0};
  }
  return true;
}

// Eight primes' arithmetic on Montgomery's form x R mod p (R = 2^32), the lanes' constants
// broadcast per group: each product takes redc's one correction where Barrett's reduce takes
// two. Zero and negation are the plain ones.
struct PrimeLanes {
  Words p, mu, neg_inv, one;  // neg_inv = -p^-1 mod 2^32; one = R mod p, the form of 1

  KORVEX_ALWAYS_INLINE Words mul(Words a, Words b) const { return redc(mul32(a, b), p, neg_inv); }
  // a x - f y: a x + f (p - y) < 2 p^2 < p 2^32.
  KORVEX_ALWAYS_INLINE Words mul_sub(Words a, Words x, Words f, Words y) const {
    return redc(add(mul32(a, x), mul32(f, sub(p, y))), p, neg_inv);
  }
  // The plain residue of a form.
  KORVEX_ALWAYS_INLINE Words plain(Words a) const { return redc(a, p, neg_inv); }
};

// The groups' constants, and act[g]: the live lanes of group g, as bits.
struct AllPrimes {
  PrimeLanes v[kGroups];
  unsigned act[kGroups];
};

const AllPrimes& all_primes() {
  static const AllPrimes all = [] {
    const exact::Constants& c = exact::constants();
    AllPrimes a;
    for (int g = 0; g < kGroups; ++g) {
      a.act[g] = (1u << std::min(8, kPrimes - 8 * g)) - 1;
      alignas(64) int64_t p[8], mu[8], neg_inv[8], one[8];
      for (int i = 0; i < 8; ++i) {
        const exact::ModP& m = c.mod[lane_prime(g, i)];
        p[i] = (int64_t)m.p;
        mu[i] = (int64_t)m.mu;
        neg_inv[i] = (int64_t)exact::montgomery_neg_inv(m.p);
        one[i] = (int64_t)((std::uint64_t(1) << 32) % m.p);
      }
      a.v[g] = {load(p), load(mu), load(neg_inv), load(one)};
    }
    return a;
  }();
  return all;
}

// x^(p - 2) = x^-1 for x != 0 on every prime's lanes, the bits of each lane's exponent taken
// from the bottom so that the two products of a step are independent.
KORVEX_ALWAYS_INLINE void inverses(const PrimeLanes* v, int used, Words* x, Words* r) {
  Words ex[kGroups];
  for (int g = 0; g < used; ++g) {
    ex[g] = sub(v[g].p, set1(2));
    r[g] = v[g].one;
  }
  for (int bit = 0; bit < 31; ++bit) {
    const Words b = set1(int64_t(1) << bit);
    for (int g = 0; g < used; ++g) {
      r[g] = select(nonzero(band(ex[g], b)), v[g].mul(r[g], x[g]), r[g]);
      x[g] = v[g].mul(x[g], x[g]);
    }
  }
}

// Division-free elimination on G groups of eight primes at once: each row update
// r <- piv r - f pivot_row scales the determinant by piv, which one inverse per lane takes out
// at the end. The groups share every step, so that the long chains of the inverses (and of the
// products) run side by side rather than one after the other. Pivots are chosen alike on every
// lane; a column whose candidates vanish on some lanes only is refused.
struct Groups {
  static constexpr int G = kGroups;
  static constexpr int kMaxWide = kMaxSmallDet * (kMaxSmallDet + 1);
  PrimeLanes v[G];
  unsigned act[G];
  Words m[G][kMaxWide];
  int n = 0, w = 0;
  int row[kMaxSmallDet];  // the rows in pivot order, as offsets into m
  Words diag[G], scale[G];
  bool negate = false;
  int used = G;  // the groups of primes worked on, from the first

  // Entry (r, c) of the cleared matrix is a_rc 2^-t_r, an integer: its form is mag mod p
  // times 2^(-e - t_r) R^2 = 2^(64 - e - t_r) from the signed table (e <= 123 and
  // |t_r| <= 123 keep the exponent well inside it), negated with the entry.
  void load(const Cleared& x) {
    const int32_t* pow2 = lane_pow2() + (int64_t)(kSignedPow2Zero + 64) * kLanes;
    n = x.n;
    w = x.w;
    const AllPrimes& all = all_primes();
    std::copy_n(all.v, G, v);
    std::copy_n(all.act, G, act);
    for (int g = 0; g < used; ++g) {
      for (int r = 0; r < n; ++r) {
        for (int col = 0; col < w; ++col) {
          const DyadicEntry& e = x.a[r * w + col];
          const Words mag = reduce(set1((int64_t)e.mag), v[g].p, v[g].mu);
          const Words pw = load_u32(pow2 + (int64_t)(-e.e - x.t[r]) * kLanes + 8 * g);
          const Words y = v[g].mul(mag, pw);
          m[g][r * w + col] = e.neg ? negated(g, y) : y;
        }
      }
    }
  }

  KORVEX_ALWAYS_INLINE Words negated(int g, Words y) const { return select(nonzero(y), sub(v[g].p, y), zero()); }
  // Whether entry k is non-zero on every live lane of every group; zero on every one.
  KORVEX_ALWAYS_INLINE bool nonzero_at(int k) const {
    bool all = true;
    for (int g = 0; g < used; ++g) all &= (bits(nonzero(m[g][k])) & act[g]) == act[g];
    return all;
  }
  KORVEX_ALWAYS_INLINE bool zero_at(int k) const {
    bool none = true;
    for (int g = 0; g < used; ++g) none &= (bits(nonzero(m[g][k])) & act[g]) == 0;
    return none;
  }

  enum Outcome { Triangular, Singular, Refused };

  // The first n - 1 columns cleared below their pivots, the products of the pivots so far in
  // diag and of the row scalings in scale. Singular: a column is clear on every lane, so the
  // determinant is 0 modulo every prime.
  Outcome eliminate() {
    for (int i = 0; i < n; ++i) row[i] = i * w;
    for (int g = 0; g < used; ++g) diag[g] = scale[g] = v[g].one;
    negate = false;
    for (int k = 0; k < n - 1; ++k) {
      int p = k;
      while (p < n && !nonzero_at(row[p] + k)) ++p;
      if (p == n) {
        for (int i = k; i < n; ++i)
          if (!zero_at(row[i] + k)) return Refused;
        return Singular;
      }
      if (p != k) {
        std::swap(row[p], row[k]);
        negate = !negate;
      }
      const int pk = row[k];
      for (int g = 0; g < used; ++g) diag[g] = v[g].mul(diag[g], m[g][pk + k]);
      for (int i = k + 1; i < n; ++i) {
        const int ri = row[i];
        if (zero_at(ri + k)) continue;  // already clear: no scaling
        for (int g = 0; g < used; ++g) {
          const Words piv = m[g][pk + k], f = m[g][ri + k];
          for (int j = k + 1; j < w; ++j) m[g][ri + j] = v[g].mul_sub(m[g][ri + j], piv, f, m[g][pk + j]);
          scale[g] = v[g].mul(scale[g], piv);
        }
      }
    }
    return Triangular;
  }

  // +-diag / scale, once diag holds every pivot (a form).
  KORVEX_ALWAYS_INLINE Words signed_quotient(int g, Words inv_scale) const {
    const Words d = v[g].mul(diag[g], inv_scale);
    return negate ? negated(g, d) : d;
  }

  bool det(Words* det) {
    const Outcome o = eliminate();
    if (o == Refused) return false;
    if (o == Singular) {
      for (int g = 0; g < used; ++g) det[g] = zero();
      return true;
    }
    Words inv[G];
    for (int g = 0; g < used; ++g) diag[g] = v[g].mul(diag[g], m[g][row[n - 1] + n - 1]);
    inverses(v, used, scale, inv);
    for (int g = 0; g < used; ++g) det[g] = v[g].plain(signed_quotient(g, inv[g]));
    return true;
  }

  // For w = n + 1: det(A), the solution x by back substitution, and every det(A_i) (column i
  // replaced by the right-hand side) as x_i det(A). False unless every pivot is non-zero on
  // every lane, which a singular system never has.
  bool cramer(Words* det, Words (*x)[G], Words (*num)[G]) {
    if (eliminate() != Triangular || !nonzero_at(row[n - 1] + n - 1)) return false;
    // One inverse per lane for the n pivots and the scaling: prefix products, then back.
    Words prefix[G][kMaxSmallDet + 1], inv[G][kMaxSmallDet + 1], all[G];
    for (int g = 0; g < used; ++g) {
      diag[g] = v[g].mul(diag[g], m[g][row[n - 1] + n - 1]);
      prefix[g][0] = m[g][row[0]];
      for (int k = 1; k < n; ++k) prefix[g][k] = v[g].mul(prefix[g][k - 1], m[g][row[k] + k]);
      prefix[g][n] = v[g].mul(prefix[g][n - 1], scale[g]);
      all[g] = prefix[g][n];
    }
    Words total[G];
    inverses(v, used, all, total);
    for (int g = 0; g < used; ++g) {
      Words t = total[g];
      inv[g][n] = v[g].mul(t, prefix[g][n - 1]);  // 1 / scale
      t = v[g].mul(t, scale[g]);
      for (int k = n - 1; k > 0; --k) {
        inv[g][k] = v[g].mul(t, prefix[g][k - 1]);
        t = v[g].mul(t, m[g][row[k] + k]);
      }
      inv[g][0] = t;
      det[g] = signed_quotient(g, inv[g][n]);
      for (int i = n - 1; i >= 0; --i) {
        const int ri = row[i];
        Words s = m[g][ri + n];
        for (int j = i + 1; j < n; ++j) s = v[g].mul_sub(s, v[g].one, m[g][ri + j], x[j][g]);
        x[i][g] = v[g].mul(s, inv[g][i]);
        num[i][g] = v[g].plain(v[g].mul(x[i][g], det[g]));
      }
      for (int i = 0; i < n; ++i) x[i][g] = v[g].plain(x[i][g]);
      det[g] = v[g].plain(det[g]);
    }
    return true;
  }
};

// The values of up to eight residue vectors (value i's residue modulo p_j at res[i][j]) from
// their first k primes: Garner's digits formed digit by digit across the lanes, where one
// value after another is a chain of dependent products.
void signed_values(const int64_t* const* res, int count, int k, exact::SBig* out) {
  const exact::Constants& c = exact::constants();
  alignas(64) std::uint64_t digits[kPrimes][8];
  alignas(64) int64_t lanes[8] = {};
  Words v[kPrimes];
  for (int j = 0; j < k; ++j) {
    const exact::ModP& m = c.mod[j];
    const Words p = set1((int64_t)m.p), mu = set1((int64_t)m.mu);
    for (int i = 0; i < count; ++i) lanes[i] = res[i][j];
    Words t = load(lanes);
    // exact::garner_step on the lanes: digit q is below p_q < 2 p_j.
    for (int q = 0; q < j; ++q) {
      const Words d = csub(sub(add(t, p), csub(v[q], p)), p);
      t = reduce(mul32(d, set1((int64_t)c.inv[q][j])), p, mu);
    }
    v[j] = t;
    store(digits[j], t);
  }
  for (int i = 0; i < count; ++i) out[i] = exact::signed_of_digits(c, &digits[0][i], 8, k);
}

// The residues of count signed values x[i] modulo the primes from 8 first_group on, into
// out[i][j]: exact::residues_of with the primes across the lanes, which share each chunk.
void residues_of_values(const exact::SBig* const* x, int64_t* const* out, int count, int first_group) {
  const int32_t* pow = lane_chunk_pow();
  const AllPrimes& all = all_primes();
  for (int i = 0; i < count; ++i) {
    std::uint64_t ch[exact::Constants::kChunks];
    const int chunks = exact::chunks_of(x[i]->mag.w, exact::kLimbs, x[i]->mag.bit_length(), ch);
    for (int g = first_group; g < kGroups; ++g) {
      const Words p = all.v[g].p, mu = all.v[g].mu;
      // Products of a 28-bit chunk and a power below 2^31 are below 2^59: seven of them and a
      // residue stay under the 2^62 that reduce() takes.
      Words s = zero();
      for (int q0 = 0; q0 < chunks; q0 += 7) {
        const int end = std::min(chunks, q0 + 7);
        for (int q = q0; q < end; ++q)
          s = add(s, mul32(set1((int64_t)ch[q]), load_u32(pow + (int64_t)q * kLanes + 8 * g)));
        s = reduce(s, p, mu);
      }
      if (x[i]->neg) s = select(nonzero(s), sub(p, s), zero());
      alignas(64) int64_t lanes[8];
      store(lanes, s);
      std::copy_n(lanes, std::min(8, kPrimes - 8 * g), out[i] + 8 * g);
    }
  }
}

KORVEX_ALWAYS_INLINE void store_lanes(Words x, int64_t* out, int count) {
  alignas(64) int64_t lanes[8];
  store(lanes, x);
  std::copy_n(lanes, count, out);
}

// The determinant's residues modulo the first k primes at least (those of whole groups of
// eight); how many into `done`.
bool det_residues(const Cleared& x, int k, int64_t* res, int& done) {
  Groups w;
  w.used = (k + 7) / 8;
  w.load(x);
  Words det[kGroups];
  if (!w.det(det)) return false;
  for (int g = 0; g < w.used; ++g) store_lanes(det[g], res + 8 * g, std::min(8, kPrimes - 8 * g));
  done = std::min(kPrimes, 8 * w.used);
  return true;
}

// Cramer's rule modulo the first k primes at least (whole groups of eight; how many into
// `done`): det(A) into det, x_i into x[i], det(A_i) into num[i].
bool cramer_residues(const Cleared& c, int k, int64_t* det, int64_t (*x)[kPrimes], int64_t (*num)[kPrimes],
                     int& done) {
  Groups w;
  w.used = (k + 7) / 8;
  w.load(c);
  Words d[kGroups], xs[kMaxSmallDet][kGroups], y[kMaxSmallDet][kGroups];
  if (!w.cramer(d, xs, y)) return false;
  for (int g = 0; g < w.used; ++g) {
    const int live = std::min(8, kPrimes - 8 * g);
    store_lanes(d[g], det + 8 * g, live);
    for (int i = 0; i < c.n; ++i) {
      store_lanes(xs[i][g], x[i] + 8 * g, live);
      store_lanes(y[i][g], num[i] + 8 * g, live);
    }
  }
  done = std::min(kPrimes, 8 * w.used);
  return true;
}

}  // namespace
#include "kernels/cpu/lanes_end.h"
