#include "kernels/exact_jobs.h"

#include <ATen/Parallel.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <type_traits>
#include <vector>

#include "kernels/cpu/field_rows.h"
#include "kernels/cpu/accumulate.h"
#include "kernels/cpu/dyadic_words.h"
#include "kernels/cpu/garner_block.h"
#include "kernels/cpu/isa.h"
#include "kernels/exact_elements.h"

namespace korvex::kernels {

const at::Tensor& pow2_table_on(const at::Device& device) {
  return device_table(Table::Pow2, device, [] {
    at::Tensor t = at::empty({kPrimes, kMaxShift + 1}, at::kInt);
    int32_t* p = t.data_ptr<int32_t>();
    for (int j = 0; j < kPrimes; ++j) {
      u64 v = 1;
      for (int k = 0; k <= kMaxShift; ++k) {
        p[j * (kMaxShift + 1) + k] = (int32_t)v;
        v = (v << 1) % (u64)exact::kModuli[j];
      }
    }
    return t;
  });
}

const Pow2Lookup& pow2_lookup() {
  static const Pow2Lookup table = [] {
    const u64 p0 = exact::constants().mod[0].p;
    Pow2Lookup t;
    t.pow2 = pow2_table_on(at::kCPU).data_ptr<int32_t>();
    t.pow2_row = kMaxShift + 1;
    // The 2^k mod p_0 are distinct for these k (2 has a larger order), so some multiplier
    // separates them; a few tries find one.
    bool found = false;
    for (u64 mult = 0x9e3779b1u; mult < 0x9e3779b1u + (1u << 20) && !found; mult += 2) {
      t.mult = mult;
      std::fill(std::begin(t.slot_of), std::end(t.slot_of), u64(0xffffffff));
      bool clash = false;
      u64 r = 1;
      for (int k = 0; k <= Pow2Lookup::kLookupTop && !clash; ++k, r = (r << 1) % p0) {
        u64& s = t.slot_of[Pow2Lookup::slot(r, mult)];
        clash = s != u64(0xffffffff);
        s = r | u64(k) << 32;
      }
      found = !clash;
    }
    TORCH_INTERNAL_ASSERT(found, "no multiplier separates the powers of two");
    for (int k = 0; k <= Pow2Lookup::kLookupTop; ++k)
      t.pair[k] = (u64)(uint32_t)t.pow2[t.pow2_row + k] | (u64)(uint32_t)t.pow2[2 * t.pow2_row + k] << 32;
    return t;
  }();
  return table;
}

double largest_fitting_double() {
  const exact::UBig& h = exact::constants().half_M;
  exact::UBig top = h;
  const int drop = h.bit_length() - 53;
  exact::ubig_shr(top, drop);
  return std::ldexp((double)top.w[0], drop);
}

namespace {

template <int K>
using Count = std::integral_constant<int, K>;

template <int KN, class F>
bool with_den_count(int kd, F& f) {
  switch (kd) {
    case 1: f(Count<KN>{}, Count<1>{}); return true;
    case 2: f(Count<KN>{}, Count<2>{}); return true;
    case 3: f(Count<KN>{}, Count<3>{}); return true;
    case 4: f(Count<KN>{}, Count<4>{}); return true;
    default: return false;
  }
}

// Runs f(Count<kn>, Count<kd>) where both counts are at most 4 (values of two words), so that
// the per-element reconstruction is an unrolled instance; false, and nothing run, otherwise.
template <class F>
bool with_two_word_counts(int kn, int kd, F&& f) {
  switch (kn) {
    case 1: return with_den_count<1>(kd, f);
    case 2: return with_den_count<2>(kd, f);
    case 3: return with_den_count<3>(kd, f);
    case 4: return with_den_count<4>(kd, f);
    default: return false;
  }
}

// Runs `finish(i, nl, nh, nneg, dl, dh, dneg)` on the two-word values of the elements
// [b, e), their digits formed a block at a time.
template <int KN, int KD, class Finish>
KORVEX_ALWAYS_INLINE void two_word_rows(const Constants& c, const int64_t* pn, const int64_t* pd, int64_t stride,
                                        int64_t b, int64_t e, Finish finish) {
  alignas(64) u64 vn[KN][kDigitBlock], vd[KD][kDigitBlock];
  for (int64_t lo = b; lo < e; lo += kDigitBlock) {
    const int64_t cnt = std::min(kDigitBlock, e - lo);
    garner_block<KN>(c, pn + lo, stride, cnt, vn);
    garner_block<KD>(c, pd + lo, stride, cnt, vd);
    for (int64_t i = 0; i < cnt; ++i) {
      u64 nl, nh, dl, dh;
      const bool nneg = exact::detail::signed_2w_of_digits<KN>(c, &vn[0][i], kDigitBlock, nl, nh);
      const bool dneg = exact::detail::signed_2w_of_digits<KD>(c, &vd[0][i], kDigitBlock, dl, dh);
      finish(lo + i, nl, nh, nneg, dl, dh, dneg);
    }
  }
}

template <int KN, int KD>
KORVEX_ALWAYS_INLINE void float_rows(const Constants& c, const int64_t* pn, const int64_t* pd, int64_t stride,
                                     int64_t b, int64_t e, float* po) {
  two_word_rows<KN, KD>(c, pn, pd, stride, b, e, [&](int64_t k, u64 nl, u64 nh, bool nneg, u64 dl, u64 dh, bool dneg) {
    po[k] = float_of_2w(nl, nh, nneg, dl, dh, dneg);
  });
}

template <int KN, int KD>
void float_rows_generic(const Constants& c, const int64_t* pn, const int64_t* pd, int64_t stride, int64_t b,
                        int64_t e, float* po) {
  float_rows<KN, KD>(c, pn, pd, stride, b, e, po);
}

// What the jobs on lanes read their other elements from.
struct ValueRows {
  const Constants& c;
  const int64_t *pn, *pd;
  int64_t stride;
};


struct KeyOut {
  double* key;
  std::uint8_t* exact;
  float* image;  // may be null
  KORVEX_ALWAYS_INLINE void put(int64_t k, const KeyImage& im) const {
    key[k] = im.key;
    exact[k] = im.exact;
    if (image) image[k] = im.f;
  }
};

template <int KN, int KD>
KORVEX_ALWAYS_INLINE void key_rows(const Constants& c, const int64_t* pn, const int64_t* pd, int64_t stride,
                                   int64_t b, int64_t e, KeyOut out) {
  two_word_rows<KN, KD>(c, pn, pd, stride, b, e, [&](int64_t k, u64 nl, u64 nh, bool nneg, u64 dl, u64 dh, bool dneg) {
    out.put(k, key_image_2w(nl, nh, nneg, dl, dh, dneg));
  });
}

template <int KN, int KD>
void key_rows_generic(const Constants& c, const int64_t* pn, const int64_t* pd, int64_t stride, int64_t b, int64_t e,
                      KeyOut out) {
  key_rows<KN, KD>(c, pn, pd, stride, b, e, out);
}

}  // namespace
}  // namespace korvex::kernels

#define KORVEX_LANES_BODY "kernels/cpu/exact_lanes.h"
#include "kernels/cpu/lanes_both.h"

namespace korvex::kernels {
namespace {

}  // namespace

// The header's contract for residue operands (at least the kn, kd leading rows the job reads):
// the caller checks it, debug builds check the caller.
static void assert_residues(const at::Tensor& num, const at::Tensor& den, int kn = kPrimes, int kd = kPrimes) {
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(num.is_cpu() && num.is_contiguous() && num.scalar_type() == at::kLong &&
                                   num.dim() == 2 && num.size(0) >= kn);
  TORCH_INTERNAL_ASSERT_DEBUG_ONLY(den.is_cpu() && den.is_contiguous() && den.scalar_type() == at::kLong &&
                                   den.dim() == 2 && den.size(0) >= kd && den.size(1) == num.size(1));
}

Measured measure_cpu(const at::Tensor& num, const at::Tensor& den) {
  assert_residues(num, den);
  const int64_t n = num.size(1);
  const int64_t *pn = num.data_ptr<int64_t>(), *pd = den.data_ptr<int64_t>();
  const Constants& c = exact::constants();
  std::atomic<int> nb{0}, db{0};
  std::atomic<bool> canonical{true};
  at::parallel_for(0, n, 256, [&](int64_t b, int64_t e) {
    int lnb = 0, ldb = 0;
    for (int64_t k = b; k < e && canonical; ++k) {
      int x, y;
      if (!measure_element(c, pn + k, pd + k, n, x, y)) {
        canonical = false;
        return;
      }
      lnb = std::max(lnb, x);
      ldb = std::max(ldb, y);
    }
    exact::atomic_max(nb, lnb);
    exact::atomic_max(db, ldb);
  });
  return {nb.load(), db.load(), canonical.load()};
}

// Elements [0, n) in parallel: where the values need at most four residues, a block at a time
// through rows(KN, KD, b, e) with the counts as constants, else one by one.
template <class Rows, class Element>
void over_values(int64_t n, int kn, int kd, Rows rows, Element element) {
  at::parallel_for(0, n, 1024, [&](int64_t b, int64_t e) {
    if (!with_two_word_counts(kn, kd, [&](auto kn_c, auto kd_c) { rows(kn_c, kd_c, b, e); }))
      for (int64_t k = b; k < e; ++k) element(k);
  });
}

void to_float_cpu(const at::Tensor& num, const at::Tensor& den, int kn, int kd, at::Tensor& out) {
  assert_residues(num, den, kn, kd);
  const int64_t n = num.size(1);
  const int64_t *pn = num.data_ptr<int64_t>(), *pd = den.data_ptr<int64_t>();
  float* po = out.data_ptr<float>();
  const Constants& c = exact::constants();
  over_values(n, kn, kd, [&](auto kn_c, auto kd_c, int64_t b, int64_t e) {
    constexpr int KN = decltype(kn_c)::value, KD = decltype(kd_c)::value;
    static const auto rows =
        widest_build(&avx512::float_rows<KN, KD>, &avx2::float_rows<KN, KD>, &float_rows_generic<KN, KD>);
    rows(c, pn, pd, n, b, e, po);
  }, [&](int64_t k) { po[k] = float_element(c, pn + k, pd + k, n, kn, kd); });
}

void keys_cpu(const at::Tensor& num, const at::Tensor& den, int kn, int kd, at::Tensor& keys, at::Tensor& exact,
              at::Tensor& images) {
  assert_residues(num, den, kn, kd);
  const int64_t n = num.size(1);
  const int64_t *pn = num.data_ptr<int64_t>(), *pd = den.data_ptr<int64_t>();
  const KeyOut out{keys.data_ptr<double>(), exact.data_ptr<std::uint8_t>(),
                   images.defined() ? images.data_ptr<float>() : nullptr};
  const Constants& c = exact::constants();
  over_values(n, kn, kd, [&](auto kn_c, auto kd_c, int64_t b, int64_t e) {
    constexpr int KN = decltype(kn_c)::value, KD = decltype(kd_c)::value;
    static const auto rows =
        widest_build(&avx512::key_rows<KN, KD>, &avx2::key_rows<KN, KD>, &key_rows_generic<KN, KD>);
    rows(c, pn, pd, n, b, e, out);
  }, [&](int64_t k) { out.put(k, key_element(c, pn + k, pd + k, n, kn, kd)); });
}

void order_pairs_cpu(const Rows& a, const at::Tensor& ia, const Rows& b, const at::Tensor& ib, at::Tensor& out) {
  assert_residues(a.num, a.den, a.kn, a.kd);
  assert_residues(b.num, b.den, b.kn, b.kd);
  const int64_t t = out.numel(), na = a.size(), nb = b.size();
  const int64_t *an = a.num.data_ptr<int64_t>(), *ad = a.den.data_ptr<int64_t>();
  const int64_t *bn = b.num.data_ptr<int64_t>(), *bd = b.den.data_ptr<int64_t>();
  const int64_t *pa = ia.data_ptr<int64_t>(), *pb = ib.data_ptr<int64_t>();
  int8_t* po = out.data_ptr<int8_t>();
  const Constants& c = exact::constants();
  at::parallel_for(0, t, 64, [&](int64_t lo, int64_t hi) {
    for (int64_t k = lo; k < hi; ++k)
      po[k] = (int8_t)order_pair_element(c, an + pa[k], ad + pa[k], na, a.kn, a.kd, bn + pb[k], bd + pb[k], nb, b.kn,
                                         b.kd);
  });
}

std::vector<int64_t> order_keys_cpu(const at::Tensor& ka, const at::Tensor& ea, const at::Tensor& ia,
                                    const at::Tensor& kb, const at::Tensor& eb, const at::Tensor& ib, at::Tensor& out) {
  const int64_t t = out.numel();
  TORCH_INTERNAL_ASSERT((ia.defined() ? ia.numel() : ka.numel()) == t && (ib.defined() ? ib.numel() : kb.numel()) == t);
  const double *pka = ka.data_ptr<double>(), *pkb = kb.data_ptr<double>();
  const std::uint8_t *pea = ea.data_ptr<std::uint8_t>(), *peb = eb.data_ptr<std::uint8_t>();
  const int64_t* pia = ia.defined() ? ia.data_ptr<int64_t>() : nullptr;
  const int64_t* pib = ib.defined() ? ib.data_ptr<int64_t>() : nullptr;
  int8_t* po = out.data_ptr<int8_t>();
  std::vector<std::uint8_t> tied(t);
  std::atomic<bool> any{false};
  // Without positions the loop is branch-free over four arrays, which vectorises.
  auto run = [&](auto indexed) {
    at::parallel_for(0, t, 4096, [&](int64_t lo, int64_t hi) {
      std::uint8_t local = 0;
      for (int64_t k = lo; k < hi; ++k) {
        const int64_t i = decltype(indexed)::value && pia ? pia[k] : k;
        const int64_t j = decltype(indexed)::value && pib ? pib[k] : k;
        bool tie;
        po[k] = (int8_t)order_of_keys(pka[i], pkb[j], pea[i] != 0, peb[j] != 0, tie);
        tied[k] = tie;
        local |= tie;
      }
      if (local) any = true;
    });
  };
  if (pia || pib)
    run(std::true_type{});
  else
    run(std::false_type{});
  std::vector<int64_t> ties;
  if (any)
    for (int64_t k = 0; k < t; ++k)
      if (tied[k]) ties.push_back(k);
  return ties;
}

bool dyadic_sum_cpu(const at::Tensor& num, const at::Tensor& den, int kn, int kd, int scale, DyadicAcc& acc) {
  assert_residues(num, den, kn, kd);
  const int64_t n = num.size(1);
  const int64_t *pn = num.data_ptr<int64_t>(), *pd = den.data_ptr<int64_t>();
  const Constants& c = exact::constants();
  if (cpu_runs_avx2() && kn <= 2 && kd <= 4) {
    static const auto words = cpu_runs_avx512() ? &avx512::sum_words : &avx2::sum_words;
    return accumulate_chunks(n, [&](int64_t lo, int64_t hi, DyadicAcc& a) {
      return words(c, pn, pd, n, lo, hi, kn, kd, scale, a);
    }, acc);
  }
  return accumulate_chunks(n, [&](int64_t lo, int64_t hi, DyadicAcc& a) {
    bool ok = true;
    const bool two_words = with_two_word_counts(kn, kd, [&](auto kn_c, auto kd_c) {
      for (int64_t k = lo; k < hi && ok; ++k)
        ok = add_dyadic_element_2w<decltype(kn_c)::value, decltype(kd_c)::value>(c, pn + k, pd + k, n, scale, a);
    });
    if (!two_words)
      for (int64_t k = lo; k < hi && ok; ++k) ok = add_dyadic_element(c, pn + k, pd + k, n, kn, kd, scale, a);
    return ok;
  }, acc);
}

namespace {

// Decomposes a block of elements, then writes each prime's row of the block contiguously.
template <class Decompose>
IngestStats ingest_blocks(int64_t n, at::Tensor& num, at::Tensor& den, Decompose decompose) {
  int64_t* on = num.data_ptr<int64_t>();
  int64_t* od = den.data_ptr<int64_t>();
  const auto& mods = exact::constants().mod;
  const int32_t* tab = pow2_table_on(at::kCPU).data_ptr<int32_t>();
  std::atomic<int64_t> first{n};
  std::atomic<int> nb{0}, db{1};
  constexpr int64_t kBlock = 256;
  static const DyadicBlockFn block = dyadic_block_fn();
  at::parallel_for(0, n, 4 * kBlock, [&](int64_t begin, int64_t end) {
    Dyadic d[kBlock];
    // The block again as plain arrays for the row loops.
    u64 mant[kBlock], neg[kBlock];
    int64_t sa[kBlock], sb[kBlock];
    int lnb = 0, ldb = 1;
    for (int64_t blk = begin; blk < end; blk += kBlock) {
      const int64_t cnt = std::min(kBlock, end - blk);
      for (int64_t i = 0; i < cnt; ++i) {
        if (decompose(blk + i, d[i]) != kNone) {
          int64_t cur = first.load();
          while (blk + i < cur && !first.compare_exchange_weak(cur, blk + i)) {}
        }
        int x, y;
        dyadic_bits(d[i], x, y);
        lnb = std::max(lnb, x);
        ldb = std::max(ldb, y);
      }
      // Float mantissas are below 2^53; only integers of 62 bits and more need the wide reduction.
      bool small = true;
      for (int64_t i = 0; i < cnt; ++i) {
        mant[i] = d[i].m;
        sa[i] = d[i].a;
        sb[i] = d[i].b;
        neg[i] = d[i].neg;
        small = small && d[i].m < (1ull << 62);
      }
      if (small) {
        block(mods, tab, kMaxShift + 1, mant, sa, sb, neg, on + blk, od + blk, n, cnt);
        continue;
      }
      for (int j = 0; j < kPrimes; ++j) {
        const int32_t* pw = tab + j * (kMaxShift + 1);
        int64_t* rn = on + j * n + blk;
        int64_t* rd = od + j * n + blk;
        for (int64_t i = 0; i < cnt; ++i) dyadic_residues(mods[j], pw, d[i], rn[i], rd[i]);
      }
    }
    exact::atomic_max(nb, lnb);
    exact::atomic_max(db, ldb);
  });
  IngestStats s;
  if (first.load() < n) s.first_fault = first.load();
  s.num_bits = nb.load();
  s.den_bits = db.load();
  return s;
}

}  // namespace

IngestStats ingest_cpu(const at::Tensor& x, at::Tensor& num, at::Tensor& den) {
  const int64_t n = x.numel();
  if (x.scalar_type() == at::kDouble) {
    const double* p = x.data_ptr<double>();
    const double max_fit = largest_fitting_double();
    return ingest_blocks(n, num, den, [&](int64_t k, Dyadic& d) { return dyadic_of_double(p[k], max_fit, d); });
  }
  if (x.scalar_type() == at::kUInt64) {
    const u64* p = x.data_ptr<u64>();
    return ingest_blocks(n, num, den, [&](int64_t k, Dyadic& d) {
      dyadic_of_integer(p[k], false, d);
      return kNone;
    });
  }
  TORCH_CHECK(x.scalar_type() == at::kLong, "ingest_cpu takes float64, int64 or uint64");
  const int64_t* p = x.data_ptr<int64_t>();
  return ingest_blocks(n, num, den, [&](int64_t k, Dyadic& d) {
    const int64_t v = p[k];
    dyadic_of_integer(v < 0 ? 0 - (u64)v : (u64)v, v < 0, d);
    return kNone;
  });
}

}  // namespace korvex::kernels
