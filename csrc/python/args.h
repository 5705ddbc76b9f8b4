// The argument layer shared by every method and function: positional/keyword parsing with
// the interface's fixed TypeError texts, type coercion, Python int <-> exact integer, and
// registration of raw (vectorcall-free, pybind-dispatch-free) methods.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "exact/bigint.h"

namespace korvex::python {

namespace py = pybind11;

std::string type_name(py::handle obj);

// "Argument '<name>' has incorrect type (expected <expected>, got <type>)"
[[noreturn]] void raise_bad_type(const char* name, const char* expected, py::handle got);

// int(): an int passes, other numbers go through int(), anything else is refused.
py::object coerce_int(py::handle v, const char* name);
// Exactly a tuple / exactly a str, nothing else (not even subclasses).
py::tuple coerce_tuple(py::handle v, const char* name);
std::string coerce_str(py::handle v, const char* name);
// None or float: floats pass, other numbers go through float().
py::object coerce_optional_float(py::handle v, const char* name);

struct Signature {
  const char* name;
  std::vector<const char*> params;  // explicit parameters, in order
  int required;                     // how many of them have no default
  int implicit;                     // leading parameters counted in messages (1 for self)
};

// Binds args/kwargs to the signature's parameters; absent optional ones are null handles.
std::vector<py::handle> parse(const Signature& sig, PyObject* args, PyObject* kwargs);

using Impl = py::object (*)(py::handle self, PyObject* args, PyObject* kwargs);

// Translates any C++ exception into the matching Python exception (pybind, c10, std).
void set_python_error_from_current_exception();

template <Impl F>
PyObject* trampoline(PyObject* self, PyObject* args, PyObject* kwargs) {
  try {
    return F(self, args, kwargs).release().ptr();
  } catch (...) {
    set_python_error_from_current_exception();
    return nullptr;
  }
}

using Getter = py::object (*)(py::handle self);

template <Getter F>
PyObject* getter_trampoline(PyObject* /*unbound*/, PyObject* self) {
  try {
    return F(self).release().ptr();
  } catch (...) {
    set_python_error_from_current_exception();
    return nullptr;
  }
}

enum class MethodKind { Instance, Class, Static };

void add_method(py::handle cls, const char* name, PyCFunctionWithKeywords fn, const char* doc,
                MethodKind kind = MethodKind::Instance);
// A read-only `property`, as a Python class would define it, around a raw getter taking the
// instance as its one argument.
void add_property(py::handle cls, const char* name, PyCFunction fget, const char* doc);
void add_function(py::module_& m, const char* name, PyCFunctionWithKeywords fn, const char* doc);

// Python int -> signed exact integer; false when it is wider than the fixed capacity.
bool int_to_sbig(py::handle v, exact::SBig& out);
py::object sbig_to_int(const exact::SBig& x);

}  // namespace korvex::python
