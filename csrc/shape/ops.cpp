#include "shape/ops.h"

#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/pybind.h>

#include <vector>

#include "exact/moduli.h"
#include "python/args.h"
#include "python/errors.h"
#include "python/table.h"
#include "record/axes.h"
#include "record/record.h"

namespace korvex::shape {

using exact::kPrimes;
using record::element_axis;
using record::Record;

namespace {

int64_t ndim_of(const Record& r) { return r.num.dim() - 1; }

// Values do not change, so neither does the size bound (unknown stays unknown). The source's
// moduli tensor goes along too: a record built on foreign moduli must still be refused as one
// by the first operation that measures it.
py::object derived(const Record& src, at::Tensor num, at::Tensor den, py::object approx) {
  py::object out = record::make_record(std::move(num), std::move(den), std::move(approx), src.num_bits, src.den_bits);
  record::as_record(out).primes = src.primes;
  return out;
}

// The hint takes the same operation; None stays None, and a hint that is not a tensor (the
// constructor takes any object) is asked for the operation by name.
template <class OnTensor, class OnObject>
py::object follow(const py::object& approx, OnTensor&& on_tensor, OnObject&& on_object) {
  if (approx.is_none()) return py::none();
  if (THPVariable_Check(approx.ptr())) return py::cast(on_tensor(THPVariable_Unpack(approx.ptr())));
  return on_object(approx);
}

at::Tensor as_tensor(const py::object& obj) { return THPVariable_Unpack(obj.ptr()); }

py::object call(const py::object& obj, const char* name, const py::tuple& args) {
  PyObject* r = PyObject_Call(obj.attr(name).ptr(), args.ptr(), nullptr);
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// ---------------------------------------------------------------- shape operations

py::object transposed(const Record& r, int64_t i, int64_t j) {
  // A 0-d record has one axis position and no residue axis behind it: the swap is the identity.
  const bool scalar = ndim_of(r) == 0;
  at::Tensor num = scalar ? r.num.alias() : r.num.transpose(i + 1, j + 1);
  at::Tensor den = scalar ? r.denom.alias() : r.denom.transpose(i + 1, j + 1);
  return derived(r, num, den,
                 follow(
                     r.hint(), [&](const at::Tensor& t) { return t.transpose(i, j); },
                     [&](const py::object& o) { return o.attr("transpose")(i, j); }));
}

py::object m_transpose(py::handle self, const python::Args& a) {
  py::object d0 = python::coerce_int(a[0], "dim0"), d1 = python::coerce_int(a[1], "dim1");
  const Record& r = record::as_record(self);
  const int64_t n = ndim_of(r);
  return transposed(r, element_axis(d0, n), element_axis(d1, n));
}

py::object get_T(py::handle self) {
  if (!record::is_record(self)) python::raise_type_error("T needs a ModularTensor, got " + python::type_name(self));
  const Record& r = record::as_record(self);
  const int64_t n = ndim_of(r);
  if (n < 2) return py::reinterpret_borrow<py::object>(self);
  return transposed(r, n - 2, n - 1);
}

py::object m_reshape(py::handle self, const python::Args& a) {
  py::tuple shape = py::reinterpret_borrow<py::tuple>(a.rest);
  if (shape.size() == 1 && (PyTuple_Check(shape[0].ptr()) || PyList_Check(shape[0].ptr()))) {
    PyObject* t = PySequence_Tuple(shape[0].ptr());
    if (!t) throw py::error_already_set();
    shape = py::reinterpret_steal<py::tuple>(t);
  }
  const Record& r = record::as_record(self);
  std::vector<int64_t> dims;
  bool plain = true;
  for (py::handle h : shape) {
    int overflow = 0;
    const long long v = PyLong_Check(h.ptr()) ? PyLong_AsLongLongAndOverflow(h.ptr(), &overflow) : 0;
    if (!PyLong_Check(h.ptr()) || overflow) {
      plain = false;
      break;
    }
    dims.push_back(v);
  }
  auto on_object = [&](const py::object& o) { return call(o, "reshape", shape); };
  if (!plain) {
    // Anything but plain ints (0-d int tensors, objects with __index__, mistakes) is read by
    // PyTorch itself, which also words the refusal.
    py::tuple full(shape.size() + 1);
    full[0] = py::int_(kPrimes);
    for (size_t k = 0; k < shape.size(); ++k) full[k + 1] = shape[k];
    at::Tensor num = as_tensor(call(py::cast(r.num), "reshape", full));
    at::Tensor den = as_tensor(call(py::cast(r.denom), "reshape", full));
    auto on_tensor = [&](const at::Tensor& t) { return as_tensor(on_object(py::cast(t))); };
    return derived(r, num, den, follow(r.hint(), on_tensor, on_object));
  }
  std::vector<int64_t> full{kPrimes};
  full.insert(full.end(), dims.begin(), dims.end());
  at::Tensor num = r.num.reshape(full), den = r.denom.reshape(full);
  // The hint gets the element shape itself, so reshape() of a one-element record gives a 0-d
  // hint where the hint's own reshape() would refuse an empty argument list.
  return derived(r, num, den, follow(r.hint(), [&](const at::Tensor& t) { return t.reshape(dims); }, on_object));
}

py::object m_flatten(py::handle self, const python::Args& a) {
  py::object s = python::coerce_int(a[0], "start_dim");
  py::object e = python::coerce_int(a[1], "end_dim");
  const Record& r = record::as_record(self);
  const int64_t n = ndim_of(r);
  const int64_t i = element_axis(s, n), j = element_axis(e, n);
  // PyTorch flattens a 0-d tensor into one element of one axis.
  at::Tensor num = n == 0 ? r.num.reshape({kPrimes, 1}) : r.num.flatten(i + 1, j + 1);
  at::Tensor den = n == 0 ? r.denom.reshape({kPrimes, 1}) : r.denom.flatten(i + 1, j + 1);
  return derived(r, num, den,
                 follow(
                     r.hint(), [&](const at::Tensor& t) { return t.flatten(i, j); },
                     [&](const py::object& o) { return o.attr("flatten")(i, j); }));
}

py::object m_squeeze(py::handle self, const python::Args& a) {
  const Record& r = record::as_record(self);
  const int64_t n = ndim_of(r);
  if (a[0].is_none()) {
    std::vector<int64_t> axes, residue_axes;
    for (int64_t i = 0; i < n; ++i)
      if (r.num.size(i + 1) == 1) {
        axes.push_back(i);
        residue_axes.push_back(i + 1);
      }
    return derived(r, r.num.squeeze(residue_axes), r.denom.squeeze(residue_axes),
                   follow(
                       r.hint(), [&](const at::Tensor& t) { return t.squeeze(axes); },
                       [&](py::object o) {
                         // Last first, so that the earlier positions still hold.
                         for (auto it = axes.rbegin(); it != axes.rend(); ++it) o = o.attr("squeeze")(*it);
                         return o;
                       }));
  }
  py::object d = python::coerce_int(a[0], "dim");
  const int64_t i = element_axis(d, n);
  at::Tensor num = n == 0 ? r.num.alias() : r.num.squeeze(i + 1);
  at::Tensor den = n == 0 ? r.denom.alias() : r.denom.squeeze(i + 1);
  return derived(r, num, den,
                 follow(
                     r.hint(), [&](const at::Tensor& t) { return t.squeeze(i); },
                     [&](const py::object& o) { return o.attr("squeeze")(i); }));
}

py::object m_unsqueeze(py::handle self, const python::Args& a) {
  py::object d = python::coerce_int(a[0], "dim");
  const Record& r = record::as_record(self);
  const int64_t i = record::insert_axis(d, ndim_of(r));
  return derived(r, r.num.unsqueeze(i + 1), r.denom.unsqueeze(i + 1),
                 follow(
                     r.hint(), [&](const at::Tensor& t) { return t.unsqueeze(i); },
                     [&](const py::object& o) { return o.attr("unsqueeze")(i); }));
}

// ---------------------------------------------------------------- index selection

// The caller's index on the record's device (the caller's tensor stays as it was). Anything
// else goes through its own `to`, and what still is no tensor is shown to PyTorch, whose
// refusal is the one to see.
at::Tensor index_on(py::handle index, const Record& r, const char* op, int64_t axis) {
  if (THPVariable_Check(index.ptr())) return THPVariable_Unpack(index.ptr()).to(r.num.device());
  py::object moved = index.attr("to")(r.device);
  if (THPVariable_Check(moved.ptr())) return THPVariable_Unpack(moved.ptr());
  py::module_::import("torch").attr(op)(py::cast(r.num), axis + 1, moved);
  python::raise_type_error(std::string(op) + "(): index must be a tensor, got " + python::type_name(moved));
}

py::object m_index_select(py::handle self, const python::Args& a) {
  py::object d = python::coerce_int(a[0], "dim");
  const Record& r = record::as_record(self);
  const int64_t n = ndim_of(r);
  const int64_t i = element_axis(d, n);
  const at::Tensor index = index_on(a[1], r, "index_select", i);
  at::Tensor num, den;
  if (n == 0) {
    // PyTorch's scalar rule (exactly one index, and it names the element) checked by PyTorch
    // on one prime's residue; what passes selects the element itself.
    at::index_select(r.num.select(0, 0), 0, index);
    num = r.num.clone();
    den = r.denom.clone();
  } else {
    num = r.num.index_select(i + 1, index);
    den = r.denom.index_select(i + 1, index);
  }
  const py::object index_obj = py::cast(index);
  return derived(r, num, den,
                 follow(
                     r.hint(), [&](const at::Tensor& t) { return t.index_select(i, index); },
                     [&](const py::object& o) { return o.attr("index_select")(i, index_obj); }));
}

py::object m_gather(py::handle self, const python::Args& a) {
  py::object d = python::coerce_int(a[0], "dim");
  const Record& r = record::as_record(self);
  const int64_t n = ndim_of(r);
  const int64_t i = element_axis(d, n);
  const at::Tensor index = index_on(a[1], r, "gather", i);
  // PyTorch takes a 0-d source or index as one of length 1; the residues need that axis
  // spelled out to have an element axis to gather along.
  const at::Tensor src_num = n == 0 ? r.num.unsqueeze(1) : r.num;
  const at::Tensor src_den = n == 0 ? r.denom.unsqueeze(1) : r.denom;
  const at::Tensor idx = index.dim() == 0 ? index.view({1}) : index;
  std::vector<int64_t> wide{kPrimes};
  wide.insert(wide.end(), idx.sizes().begin(), idx.sizes().end());
  // The same positions for every prime, as a stride-0 view.
  const at::Tensor idx_exp = idx.unsqueeze(0).expand(wide);
  std::vector<int64_t> out{kPrimes};
  out.insert(out.end(), index.sizes().begin(), index.sizes().end());
  at::Tensor num = src_num.gather(i + 1, idx_exp).reshape(out);
  at::Tensor den = src_den.gather(i + 1, idx_exp).reshape(out);
  const py::object index_obj = py::cast(index);
  return derived(r, num, den,
                 follow(
                     r.hint(), [&](const at::Tensor& t) { return t.gather(i, index); },
                     [&](const py::object& o) { return o.attr("gather")(i, index_obj); }));
}

}  // namespace

void register_shape(py::handle cls) {
  static const python::Def members[] = {
      python::method<m_transpose>("transpose", {{"dim0"}, {"dim1"}}, "Transpose two dimensions."),
      python::property<get_T>("T", "Transpose (swap last two dimensions for 2D+)."),
      python::method<m_reshape>("reshape", {{"*shape"}}, "Reshape tensor to new shape."),
      python::method<m_flatten>("flatten", {{"start_dim", "0"}, {"end_dim", "-1"}}, "Flatten dimensions."),
      python::method<m_squeeze>("squeeze", {{"dim", "None"}}, "Remove dimensions of size 1."),
      python::method<m_unsqueeze>("unsqueeze", {{"dim"}}, "Add dimension of size 1."),
      python::method<m_index_select>("index_select", {{"dim"}, {"index"}}, "Select elements along dimension by index."),
      python::method<m_gather>("gather", {{"dim"}, {"index"}}, "Gather elements along dimension by index."),
  };
  python::install(cls, members);
}

}  // namespace korvex::shape
