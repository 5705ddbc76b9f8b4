// copy, deepcopy, pickle and torch.save of records, with the state a Python class with the five
// slots would have: (instance dict or None, {slot: value}). The size bound is never part of the
// state: a restored record is measured, and its residues checked, on first use like any record
// made from raw tensors.
#include "record/pickle.h"

#include <torch/csrc/autograd/python_variable.h>
#include <torch/csrc/utils/pybind.h>

#include "python/errors.h"
#include "python/table.h"
#include "record/record.h"

namespace korvex::record {

namespace {

constexpr const char* kSlots[] = {"num", "denom", "primes", "device", "_approx"};

bool is_own_slot(const std::string& name) {
  for (const char* s : kSlots)
    if (name == s) return true;
  return false;
}

py::module_& copyreg() {
  static py::module_* m = new py::module_(py::module_::import("copyreg"));
  return *m;
}

// An unset slot is left out, as Python leaves out a slot never assigned.
void put_if_set(py::handle self, const std::string& name, py::dict& slots) {
  PyObject* v = PyObject_GetAttrString(self.ptr(), name.c_str());
  if (!v) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return;
  }
  slots[py::str(name)] = py::reinterpret_steal<py::object>(v);
}

py::object state_of(py::handle self) {
  py::dict slots;
  for (const char* s : kSlots) put_if_set(self, s, slots);
  // Slots a Python subclass declares come along, as they would for a plain class.
  py::list extra = copyreg().attr("_slotnames")(py::type::handle_of(self));
  for (py::handle n : extra) {
    const std::string name = n.cast<std::string>();
    if (!is_own_slot(name) && name != "__dict__" && name != "__weakref__") put_if_set(self, name, slots);
  }
  py::object dict = py::none();
  PyObject** dictptr = _PyObject_GetDictPtr(self.ptr());
  if (dictptr && *dictptr && PyDict_GET_SIZE(*dictptr)) dict = py::reinterpret_borrow<py::object>(*dictptr);
  if (dict.is_none() && slots.empty()) return py::none();
  return py::make_tuple(dict, slots);
}

py::object m_getstate(py::handle self, const python::Args&) { return state_of(self); }

py::object m_reduce_ex(py::handle self, const python::Args&) {
  // One form for every protocol: copyreg.__newobj__ is what protocol 2 and later emit as
  // NEWOBJ, and a plain global call for protocols 0 and 1 (where a slotted Python class
  // without __getstate__ cannot be pickled at all).
  py::object state = self.attr("__getstate__")();
  py::object cls = py::reinterpret_borrow<py::object>(py::type::handle_of(self));
  return py::make_tuple(copyreg().attr("__newobj__"), py::make_tuple(cls), state);
}

void set_all(py::handle self, py::handle mapping) {
  if (mapping.is_none()) return;
  if (!PyDict_Check(mapping.ptr()))
    python::raise_type_error("ModularTensor state must be a dict or a (dict, dict) pair, got " +
                         python::type_name(mapping));
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(mapping.ptr(), &pos, &key, &value))
    if (PyObject_SetAttr(self.ptr(), key, value) < 0) throw py::error_already_set();
}

py::object m_setstate(py::handle self, const python::Args& a) {
  py::handle state = a[0];
  if (PyTuple_Check(state.ptr()) && PyTuple_GET_SIZE(state.ptr()) == 2) {
    set_all(self, PyTuple_GET_ITEM(state.ptr(), 0));
    set_all(self, PyTuple_GET_ITEM(state.ptr(), 1));
  } else {
    set_all(self, state);
  }
  // The device is the residues' own: a record loaded with torch.load(map_location=...) has
  // its tensors moved but its saved device object still names the old place.
  PyObject* num = PyObject_GetAttrString(self.ptr(), "num");
  if (!num) {
    PyErr_Clear();
    return py::none();
  }
  py::object num_obj = py::reinterpret_steal<py::object>(num);
  if (THPVariable_Check(num_obj.ptr())) {
    py::object dev = device_object(THPVariable_Unpack(num_obj.ptr()).device());
    PyObject* saved = PyObject_GetAttrString(self.ptr(), "device");
    if (!saved) PyErr_Clear();
    py::object saved_obj = py::reinterpret_steal<py::object>(saved);
    if (saved && !saved_obj.equal(dev)) py::setattr(self, "device", dev);
  }
  return py::none();
}

}  // namespace

void register_pickle(py::handle cls) {
  static const python::Def defs[] = {
      python::method<m_reduce_ex>("__reduce_ex__", {{"protocol"}}, "Helper for pickle."),
      python::method<m_getstate>("__getstate__", {}, "Helper for pickle."),
      python::method<m_setstate>("__setstate__", {{"state"}}, "Helper for pickle."),
  };
  python::install(cls, defs);
  // torch.load reads only allowlisted classes by default; a record's state is tensors and a
  // device, and whatever it holds is validated on first use.
  py::module_ serialization = py::module_::import("torch.serialization");
  if (py::hasattr(serialization, "add_safe_globals"))
    serialization.attr("add_safe_globals")(py::list(py::make_tuple(cls)));
}

}  // namespace korvex::record
