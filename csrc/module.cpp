// Registers the record class and the module's constants; each subsystem adds its members.
#include <torch/csrc/utils/pybind.h>

#include "approx/series.h"
#include "arithmetic/ops.h"
#include "arithmetic/power.h"
#include "compare/equality.h"
#include "compare/ops.h"
#include "exact/moduli.h"
#include "functional/functions.h"
#include "kernels/device.h"
#include "linalg/linalg.h"
#include "record/floats.h"
#include "record/pickle.h"
#include "record/record.h"
#include "reduce/matmul.h"
#include "reduce/products.h"
#include "reduce/sum.h"
#include "shape/ops.h"

namespace py = pybind11;

PYBIND11_MODULE(modular_cuda, m) {
  m.doc() =
      "ModularRational CUDA - TRUE ZERO Error on GPU\n\n"
      "Each value is stored as residues modulo several primes, so that arithmetic is exact.";
  py::module_ torch = py::module_::import("torch");
  py::module_ typing = py::module_::import("typing");
  m.attr("torch") = torch;
  m.attr("struct") = py::module_::import("struct");
  for (const char* name : {"Union", "List", "Tuple", "Optional"}) m.attr(name) = typing.attr(name);

  py::list values;
  for (int64_t p : korvex::exact::kModuli) values.append(p);
  py::object primes = torch.attr("tensor")(values, py::arg("dtype") = torch.attr("int64"));
  korvex::record::set_primes_tensor(primes.cast<at::Tensor>());
  m.attr("PRIMES") = primes;
  m.attr("N_PRIMES") = py::len(primes);
  // Whether the CUDA launchers were compiled in, for build checks; not part of __all__.
  m.attr("_built_with_cuda") = korvex::kernels::kBuiltWithCuda;
  // The generic-kernel switch, so that one test process can run both CPU paths; not in __all__.
  m.def("_generic_kernels", &korvex::kernels::generic_kernels_only);
  m.def("_set_generic_kernels", &korvex::kernels::set_generic_kernels_only, py::arg("flag"));
  m.def("_path_counts", [] {
    using korvex::kernels::Path;
    py::dict d;
    for (int p = 0; p < (int)Path::Count; ++p)
      d[korvex::kernels::path_name((Path)p)] = korvex::kernels::path_count((Path)p);
    return d;
  });

  py::handle cls = korvex::record::register_record(m);
  korvex::record::register_floats(m, cls);
  korvex::record::register_pickle(cls);
  korvex::arithmetic::register_arithmetic(cls);
  korvex::arithmetic::register_power(cls);
  korvex::compare::register_equality(cls);
  korvex::compare::register_order(cls);
  korvex::compare::register_extremes(cls);
  korvex::compare::register_sorting(cls);
  korvex::compare::register_selection(cls);
  korvex::shape::register_shape(cls);
  korvex::reduce::register_sum(cls);
  korvex::reduce::register_products(cls);
  korvex::reduce::register_matmul(cls);
  korvex::linalg::register_linalg(cls);
  // Module functions in the order of definition: conversions, series, then the forwards.
  const auto conversions = korvex::functional::register_conversions(m);
  const auto series = korvex::approx::register_approx(m, cls);
  const auto forwards = korvex::functional::register_functions(m);

  py::list all;
  for (const char* name : {"PRIMES", "N_PRIMES", "ModularTensor"}) all.append(name);
  for (const auto* names : {&conversions, &forwards, &series})
    for (const std::string& name : *names) all.append(name);
  m.attr("__all__") = all;
}
