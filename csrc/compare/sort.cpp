// sort, argsort and topk in the exact order, stable among exactly equal values.
//
// PyTorch's stable sort orders the float32 images; since rounding is monotone, only a run of
// equal images can hide a different exact order, and such a run is put right by the doubles
// and, where those tie too, by the exact values. nan (0/0) sorts as PyTorch sorts a nan:
// last, or first when descending.
#include <ATen/Parallel.h>

#include <algorithm>
#include <tuple>

#include "compare/decide.h"
#include "compare/ops.h"
#include "compare/support.h"
#include "kernels/field_ops.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"
#include "record/axes.h"
#include "record/host.h"
#include "record/pool.h"

namespace korvex::compare {

using exact::kPrimes;
using record::Record;

namespace {

// Reorders each run of equal float32 keys in `order` (lines of length L, element positions
// as base + j * inner) by the exact order, keeping equals in the order they came. Runs are
// rare for distinct data; a run of exact duplicates (equal doubles that are the values
// themselves) is left as it is without a look at any value.
void refine_runs(const Decided& d, const at::Tensor& sorted_keys, at::Tensor& order, int64_t L, int64_t inner,
                 bool descending) {
  const int64_t lines = L ? order.numel() / L : 0;
  const float* pk = sorted_keys.data_ptr<float>();
  int64_t* po = order.data_ptr<int64_t>();
  py::gil_scoped_release nogil;
  at::parallel_for(0, lines, 1, [&](int64_t begin, int64_t end) {
    std::vector<int64_t> run;
    for (int64_t line = begin; line < end; ++line) {
      const int64_t base = (line / inner) * L * inner + line % inner;
      const float* keys = pk + line * L;
      int64_t* idx = po + line * L;
      auto element = [&](int64_t j) { return base + idx[j] * inner; };
      for (int64_t s = 0, e; s < L; s = e) {
        for (e = s + 1; e < L && keys[e] == keys[s]; ++e) {}
        if (e - s < 2) continue;
        bool duplicates = d.key_exact(element(s));
        for (int64_t j = s + 1; j < e && duplicates; ++j)
          duplicates = d.key_exact(element(j)) && d.key(element(j)) == d.key(element(s));
        if (duplicates) continue;
        run.assign(idx + s, idx + e);
        std::stable_sort(run.begin(), run.end(), [&](int64_t x, int64_t y) {
          const int o = d.order(base + x * inner, d, base + y * inner);
          return descending ? o == 1 : o == -1;
        });
        std::copy(run.begin(), run.end(), idx + s);
      }
    }
  });
}

// Pairs compared exactly to put the runs of one sort right on the device; past this, the host.
constexpr int64_t kMaxRunPairs = int64_t(1) << 22;

// Puts right, on the device, the runs of equal doubles that hold a double which is not its
// value: every member of a run is compared exactly with every other, and its rank (those it
// must follow: exactly smaller, or equal and earlier) gives its slot. lines: the sort's
// positions [lines, L] along the last axis, `sorted` their int64 keys and `flags` whether each
// key is exact; elem: the row-major element behind each slot. False where the runs need more
// than kMaxRunPairs comparisons.
bool refine_runs_on_device(Record& r, Keyed& kr, const at::Tensor& sorted, const at::Tensor& flags,
                           const at::Tensor& elem, at::Tensor& lines, bool descending) {
  const int64_t L = lines.size(-1), total = lines.numel();
  const auto lopt = lines.options();
  const at::Tensor sk = sorted.reshape({-1}), fl = flags.reshape({-1});
  const at::Tensor slot = at::arange(total, lopt);
  // A run starts at each line's first slot and wherever the key changes; nans keep their order.
  at::Tensor start = slot.remainder(L).eq(0);
  start.narrow(0, 1, total - 1).logical_or_(sk.narrow(0, 1, total - 1).ne(sk.narrow(0, 0, total - 1)));
  const at::Tensor run = start.cumsum(0) - 1;
  const int64_t runs = run[-1].item<int64_t>() + 1;
  const at::Tensor length = at::zeros({runs}, lopt).index_add_(0, run, at::ones({total}, lopt));
  const at::Tensor inexact = at::zeros({runs}, lopt).index_add_(0, run, fl.logical_not().to(at::kLong));
  constexpr int64_t kInfBits = 0x7FF0000000000000;
  const at::Tensor needs = length.gt(1).logical_and_(inexact.gt(0)).index_select(0, run).logical_and_(sk.le(kInfBits));
  const at::Tensor members = needs.nonzero().squeeze(1);
  if (members.numel() == 0) return true;
  const at::Tensor first = slot.masked_select(start);  // first slot of each run
  const at::Tensor m_run = run.index_select(0, members), m_len = length.index_select(0, m_run);
  const int64_t pairs = m_len.sum().item<int64_t>();
  if (pairs > kMaxRunPairs) return false;
  // Member i against every slot j of its run.
  const at::Tensor offsets = m_len.cumsum(0) - m_len;
  const at::Tensor pi = at::repeat_interleave(at::arange(members.numel(), lopt), m_len, std::nullopt, pairs);
  const at::Tensor pj = first.index_select(0, m_run).index_select(0, pi) + at::arange(pairs, lopt) -
                        offsets.index_select(0, pi);
  const at::Tensor si = members.index_select(0, pi);
  kr.rows = record::value_rows(r);
  const at::Tensor o = order_keyed(kr, elem.index_select(0, si), kr, elem.index_select(0, pj));
  const at::Tensor after = (descending ? o.eq(-1) : o.eq(1)).logical_or_(o.eq(0).logical_and_(pj.lt(si)));
  const at::Tensor rank = at::zeros({members.numel()}, lopt).index_add_(0, pi, after.to(at::kLong));
  const at::Tensor target = first.index_select(0, m_run) + rank;
  at::Tensor flat = lines.reshape({-1});
  const at::Tensor moved = flat.index_select(0, members);
  flat.index_copy_(0, target, moved);
  lines = flat.view(lines.sizes());
  return true;
}

// The whole sort where the record's device has a kernel (CPU, CUDA): a stable sort of the
// correctly rounded doubles, which settles the exact order unless two neighbours tie without
// both being exact; such runs are then put right on the device too. False (left to the host's
// refinement) on other devices and for runs too many to compare pairwise. order: int64 on
// the record's device.
bool sorted_on_device(Record& r, const std::vector<int64_t>& shape, int64_t axis, bool descending, at::Tensor& order,
                      at::Tensor& images) {
  Keyed kr;
  if (!keys_on_device(r, kr.keys, kr.exact, &images)) return false;
  // The doubles' bits made monotone as int64 (negatives mirrored), which sort as the doubles
  // do but faster (a radix sort where PyTorch has one); nan, never signed here, stays last.
  const at::Tensor bits = kr.keys.view(at::kLong);
  // In place past the first: each fresh temporary of this size costs page faults on the host.
  const at::Tensor ordinal = bits.bitwise_right_shift(63).bitwise_and_(INT64_MAX).bitwise_xor_(bits);
  // Descending as the ascending sort of the complements, which keeps equals in their order:
  // PyTorch's radix sort takes only ascending keys, and its merge sort is several times slower.
  at::Tensor sorted;
  std::tie(sorted, order) =
      at::sort(descending ? ordinal.view(shape).bitwise_not() : ordinal.view(shape), /*stable=*/true, axis, /*descending=*/false);
  if (descending) sorted.bitwise_not_();
  const int64_t L = shape[axis];
  if (L < 2) return true;
  const at::Tensor flags = kr.exact.view(shape).gather(axis, order).to(at::kBool);
  // Equal ordinals are equal doubles, but nans sit above +inf and tie as PyTorch keeps them.
  constexpr int64_t kInfBits = 0x7FF0000000000000;
  const at::Tensor next = sorted.narrow(axis, 1, L - 1);
  const at::Tensor tie = next.eq(sorted.narrow(axis, 0, L - 1)).logical_and_(next.le(kInfBits));
  const at::Tensor both = flags.narrow(axis, 1, L - 1).logical_and(flags.narrow(axis, 0, L - 1));
  if (!tie.logical_and(both.logical_not()).any().item<bool>()) return true;
  // Lines along the last axis; the element behind a slot is base(line) + position * inner.
  int64_t inner = 1;
  for (size_t ax = axis + 1; ax < shape.size(); ++ax) inner *= shape[ax];
  at::Tensor lines = order.movedim(axis, -1).contiguous();
  const auto lopt = lines.options();
  const at::Tensor line = at::arange(lines.numel(), lopt).floor_divide(L);
  const at::Tensor base = line.floor_divide(inner) * (L * inner) + line.remainder(inner);
  const at::Tensor elem = base + lines.reshape({-1}) * inner;
  if (!refine_runs_on_device(r, kr, sorted.movedim(axis, -1).contiguous(), flags.movedim(axis, -1).contiguous(), elem,
                             lines, descending))
    return false;
  order = lines.movedim(-1, axis);
  return true;
}

enum class Want { Sort, Argsort, Topk };

// A scalar record sorts as the one-element vector its float image is.
py::object ordered(Record& r, py::handle dim_obj, bool descending, Want want, int64_t k = 0) {
  std::vector<int64_t> shape = image_shape(r);
  const int64_t axis = record::element_axis(dim_obj, (int64_t)r.shape().size());
  const int64_t L = shape[axis];
  if (want == Want::Topk && !(k >= 0 && k <= L)) python::raise_runtime_error("selected index k out of range");
  at::Tensor order, images;
  if (!sorted_on_device(r, shape, axis, descending, order, images)) {
    // Sorted on the float32 images (cheaper to sort than doubles), then put right by the exact order.
    const Decided d(r, /*with_images=*/true);
    at::Tensor keys = d.images.view(shape);
    at::Tensor sorted_keys;
    std::tie(sorted_keys, order) = at::sort(keys, /*stable=*/true, axis, descending);
    int64_t inner = 1;
    for (size_t ax = axis + 1; ax < shape.size(); ++ax) inner *= shape[ax];
    at::Tensor lines = order.movedim(axis, -1).contiguous();
    refine_runs(d, sorted_keys.movedim(axis, -1).contiguous(), lines, L, inner, descending);
    order = lines.movedim(-1, axis);
    images = d.images;
  }
  if (want == Want::Topk) order = order.narrow(axis, 0, k);
  order = order.contiguous();
  const at::Device dev = r.num.device();
  at::Tensor index = order.to(dev);
  if (want == Want::Argsort) return py::cast(index);
  std::vector<int64_t> wide{kPrimes};
  wide.insert(wide.end(), index.sizes().begin(), index.sizes().end());
  // The same permutation for every prime, as a stride-0 view.
  const at::Tensor index_exp = index.unsqueeze(0).expand(wide);
  std::vector<int64_t> full{kPrimes};
  full.insert(full.end(), shape.begin(), shape.end());
  const at::Tensor src_num = r.num.reshape(full), src_den = r.denom.reshape(full);
  const bool host_rows = kernels::launcher_for(dev) == kernels::Launcher::Cpu && axis + 1 == (int64_t)shape.size() &&
                         L <= INT32_MAX && src_num.is_contiguous() && src_den.is_contiguous();
  at::Tensor num, den;
  if (host_rows) {
    std::vector<int64_t> taken{kPrimes};
    taken.insert(taken.end(), order.sizes().begin(), order.sizes().end());
    num = record::empty_residues(taken, dev);
    den = record::empty_residues(taken, dev);
    py::gil_scoped_release nogil;
    kernels::take_last_axis_cpu(src_num, src_den, order, num, den);
  } else {
    num = src_num.gather(axis + 1, index_exp);
    den = src_den.gather(axis + 1, index_exp);
  }
  const at::Tensor approx = images.view(shape).gather(axis, order.to(images.device())).to(dev);
  return py::make_tuple(record::make_record(num, den, py::cast(approx), r.num_bits, r.den_bits), index);
}

bool truth(py::handle v) {
  const int t = PyObject_IsTrue(v.ptr());
  if (t < 0) throw py::error_already_set();
  return t == 1;
}

py::object m_sort(py::handle self, const python::Args& a) {
  py::object dim = python::coerce_int(a[0], "dim");
  const bool descending = truth(a[1]);
  return ordered(record::as_record(self), dim, descending, Want::Sort);
}

py::object m_argsort(py::handle self, const python::Args& a) {
  py::object dim = python::coerce_int(a[0], "dim");
  const bool descending = truth(a[1]);
  return ordered(record::as_record(self), dim, descending, Want::Argsort);
}

py::object m_topk(py::handle self, const python::Args& a) {
  py::object k_obj = python::coerce_int(a[0], "k");
  py::object dim = python::coerce_int(a[1], "dim");
  const bool largest = truth(a[2]);
  int overflow = 0;
  const long long k = PyLong_AsLongLongAndOverflow(k_obj.ptr(), &overflow);
  if (k == -1 && PyErr_Occurred()) throw py::error_already_set();
  // Beyond int64 is beyond any axis; -1 stands for that and is refused alike.
  return ordered(record::as_record(self), dim, largest, Want::Topk, overflow ? -1 : (int64_t)k);
}

}  // namespace

void register_sorting(py::handle cls) {
  static const python::Def members[] = {
      python::method<m_sort>("sort", {{"dim", "-1"}, {"descending", "False"}},
                             "Sort elements along dimension. Returns (sorted_tensor, indices)."),
      python::method<m_argsort>("argsort", {{"dim", "-1"}, {"descending", "False"}},
                                "Return indices that would sort the tensor."),
      python::method<m_topk>("topk", {{"k"}, {"dim", "-1"}, {"largest", "True"}},
                             "Return top k elements and their indices."),
  };
  python::install(cls, members);
}

}  // namespace korvex::compare
