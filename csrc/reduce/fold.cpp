#include "reduce/fold.h"

#include <ATen/Parallel.h>

#include "exact/moduli.h"
#include "kernels/device.h"

namespace korvex::reduce {

using exact::kPrimes;
using u64 = std::uint64_t;

namespace {

std::pair<at::Tensor, at::Tensor> fold_cpu(Fold kind, const at::Tensor& num, const at::Tensor& den) {
  const at::Tensor n = num.contiguous(), d = den.contiguous();
  const int64_t outer = n.size(1), m = n.size(2);
  at::Tensor on = at::empty({kPrimes, outer}, at::kLong), od = at::empty({kPrimes, outer}, at::kLong);
  const int64_t *pn = n.data_ptr<int64_t>(), *pd = d.data_ptr<int64_t>();
  int64_t *qn = on.data_ptr<int64_t>(), *qd = od.data_ptr<int64_t>();
  const auto& mods = exact::constants().mod;
  at::parallel_for(0, kPrimes * outer, std::max<int64_t>(1, 4096 / std::max<int64_t>(m, 1)),
                   [&](int64_t begin, int64_t end) {
    for (int64_t idx = begin; idx < end; ++idx) {
      const int64_t j = idx / outer;
      const exact::ModP& mod = mods[j];
      const int64_t* rn = pn + idx * m;
      const int64_t* rd = pd + idx * m;
      u64 an = kind == Fold::Sum ? 0 : 1, ad = 1;
      if (kind == Fold::Sum) {
        for (int64_t t = 0; t < m; ++t) {
          an = mod.add(mod.mul(an, rd[t]), mod.mul(ad, rn[t]));
          ad = mod.mul(ad, rd[t]);
        }
      } else {
        for (int64_t t = 0; t < m; ++t) {
          an = mod.mul(an, rn[t]);
          ad = mod.mul(ad, rd[t]);
        }
      }
      qn[idx] = (int64_t)an;
      qd[idx] = (int64_t)ad;
    }
  });
  return {on, od};
}

// The pairwise halving tree as plain ATen operations, for any device.
std::pair<at::Tensor, at::Tensor> fold_aten(Fold kind, at::Tensor n, at::Tensor d) {
  const at::Tensor p = kernels::primes_on(n.device()).view({kPrimes, 1, 1});
  if (n.size(2) == 0) {
    return {at::full({kPrimes, n.size(1)}, kind == Fold::Sum ? 0 : 1, n.options()),
            at::ones({kPrimes, n.size(1)}, n.options())};
  }
  while (n.size(2) > 1) {
    const int64_t m = n.size(2);
    at::Tensor last_n, last_d;
    if (m % 2 == 1) {
      last_n = n.narrow(2, m - 1, 1);
      last_d = d.narrow(2, m - 1, 1);
      n = n.narrow(2, 0, m - 1);
      d = d.narrow(2, 0, m - 1);
    }
    using at::indexing::Slice;
    const at::Tensor ln = n.index({Slice(), Slice(), Slice(0, at::indexing::None, 2)});
    const at::Tensor ld = d.index({Slice(), Slice(), Slice(0, at::indexing::None, 2)});
    const at::Tensor rn = n.index({Slice(), Slice(), Slice(1, at::indexing::None, 2)});
    const at::Tensor rd = d.index({Slice(), Slice(), Slice(1, at::indexing::None, 2)});
    at::Tensor nn = kind == Fold::Sum ? ((ln * rd) % p + (ld * rn) % p) % p : (ln * rn) % p;
    at::Tensor nd = (ld * rd) % p;
    if (last_n.defined()) {
      nn = at::cat({nn, last_n}, 2);
      nd = at::cat({nd, last_d}, 2);
    }
    n = nn;
    d = nd;
  }
  return {n.squeeze(2), d.squeeze(2)};
}

}  // namespace

std::pair<at::Tensor, at::Tensor> fold_residues(Fold kind, const at::Tensor& num, const at::Tensor& den) {
  if (kernels::launcher_for(num.device()) == kernels::Launcher::Cpu) return fold_cpu(kind, num, den);
  return fold_aten(kind, num, den);
}

}  // namespace korvex::reduce
