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

}  // namespace korvex::record
