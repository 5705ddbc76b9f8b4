#include "record/host.h"

namespace korvex::record {

HostValues host_values(Record& r) {
  ensure_bits(r);
  HostValues h;
  h.count = r.elements();
  h.kn = exact::primes_for_bits(r.num_bits);
  h.kd = exact::primes_for_bits(r.den_bits);
  h.n = r.num.narrow(0, 0, h.kn).to(at::kCPU).reshape({h.kn, h.count}).contiguous();
  h.d = r.denom.narrow(0, 0, h.kd).to(at::kCPU).reshape({h.kd, h.count}).contiguous();
  h.pn = h.n.data_ptr<int64_t>();
  h.pd = h.d.data_ptr<int64_t>();
  return h;
}

ResidueWriter::ResidueWriter(int64_t count)
    : num_(at::empty({exact::kPrimes, count}, at::kLong)), den_(at::empty({exact::kPrimes, count}, at::kLong)),
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

py::object ResidueWriter::record(const std::vector<int64_t>& shape, const at::Device& device, py::object hint,
                                 const char* what) const {
  if (overflow_) raise_range_error(what);
  std::vector<int64_t> full{exact::kPrimes};
  full.insert(full.end(), shape.begin(), shape.end());
  return make_record(num_.view(full).to(device), den_.view(full).to(device), std::move(hint), nb_.load(),
                     db_.load());
}

}  // namespace korvex::record
