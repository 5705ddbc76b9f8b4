// The argument layer shared by every method and function: the interface's fixed TypeError
// texts, type coercion, Python int <-> exact integer. Parsing and registration from member
// tables are in python/table.h.
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

// What the argument parser of python/table.h checks a call against.
struct Signature {
  const char* name;
  std::vector<const char*> params;  // explicit parameters, in order
  int required;                     // how many of them have no default
  int implicit;                     // leading parameters counted in messages (1 for self)
  std::vector<py::object> defaults;  // per parameter, null for required ones; empty: none
  bool var_positional = false;       // takes *args (and no keywords) instead of `params`
};

// Translates any C++ exception into the matching Python exception (pybind, c10, std).
void set_python_error_from_current_exception();

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

// Python int -> signed exact integer; false when it is wider than the fixed capacity.
bool int_to_sbig(py::handle v, exact::SBig& out);
py::object sbig_to_int(const exact::SBig& x);

}  // namespace korvex::python
