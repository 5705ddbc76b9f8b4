#include "record/host.h"

#include "record/pool.h"

namespace korvex::record {

kernels::Rows value_rows(Record& r) {
  ensure_bits(r);
  kernels::Rows rows;
  rows.kn = exact::primes_for_bits(r.num_bits);
  rows.kd = exact::primes_for_bits(r.den_bits);
  // reshape copies what is not contiguous (a transposed record, say) into row-major order.
  rows.num = r.num.narrow(0, 0, rows.kn).reshape({rows.kn, -1}).contiguous();
  rows.den = r.denom.narrow(0, 0, rows.kd).reshape({rows.kd, -1}).contiguous();
  return rows;
}

HostValues host_values(Record& r) {
  const kernels::Rows rows = value_rows(r);
  HostValues h;
  h.count = rows.size();
  h.kn = rows.kn;
  h.kd = rows.kd;
  h.n = rows.num.to(at::kCPU);
  h.d = rows.den.to(at::kCPU);
  h.pn = h.n.data_ptr<int64_t>();
  h.pd = h.d.data_ptr<int64_t>();
  return h;
}

ResidueWriter::ResidueWriter(int64_t count)
    : num_(empty_residues({exact::kPrimes, count}, at::kCPU)), den_(empty_residues({exact::kPrimes, count}, at::kCPU)),
      count_(count) {}

void ResidueWriter::put(int64_t k, const exact::SBig& n, const exact::SBig& d) {
  if (!exact::fits(n) || !exact::fits(d)) {
    overflow_ = true;
    return;
  }
  exact::residues_of(n, num_.data_ptr<int64_t>() + k, count_);
  exact::residues_of(d, den_.data_ptr<int64_t>() + k, count_);
  exact::atomic_max(nb_, n.mag.bit_length());
  exact::atomic_max(db_, d.mag.bit_length());
}

void ResidueWriter::put_residues(int64_t k, const int64_t* num, const int64_t* den, int num_bits, int den_bits) {
  int64_t *pn = num_.data_ptr<int64_t>() + k, *pd = den_.data_ptr<int64_t>() + k;
  for (int j = 0; j < exact::kPrimes; ++j) {
    pn[j * count_] = num[j];
    pd[j * count_] = den[j];
  }
  exact::atomic_max(nb_, num_bits);
  exact::atomic_max(db_, den_bits);
}

py::object ResidueWriter::record(const std::vector<int64_t>& shape, const at::Device& device, py::object hint,
                                 const char* what) const {
  if (overflow_) raise_range_error(what);
  std::vector<int64_t> full{exact::kPrimes};
  full.insert(full.end(), shape.begin(), shape.end());
  // A view goes through autograd's dispatch, a good part of a small result's cost: only where
  // the shape is not the rows' own.
  const bool same = c10::IntArrayRef(full) == num_.sizes();
  at::Tensor num = same ? num_ : num_.view(full), den = same ? den_ : den_.view(full);
  if (!device.is_cpu()) {
    num = num.to(device);
    den = den.to(device);
  }
  return make_record(std::move(num), std::move(den), std::move(hint), nb_.load(), db_.load());
}

}  // namespace korvex::record
