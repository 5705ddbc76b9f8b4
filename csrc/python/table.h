// Member tables: each subsystem lists its methods, class methods, properties and module
// functions once (name, C++ function, parameters with defaults, docstring), and everything
// else is produced from that list: the argument parsing with the interface's TypeError texts,
// the defaults handed to the function, the text signature that inspect.signature and help()
// read, and the export list.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "python/args.h"

namespace korvex::python {

namespace py = pybind11;

// One parameter: its name, and its default as the Python literal a signature shows (null when
// the parameter is required). `*name` collects any number of positional values.
struct Param {
  const char* name;
  const char* default_literal = nullptr;
};

// The parsed call: one handle per explicit parameter, absent optional ones replaced by their
// default; for a `*name` parameter, `rest` is the positional tuple as given.
struct Args {
  std::vector<py::handle> values;
  py::handle rest;
  py::handle operator[](size_t i) const { return values[i]; }
};

using Fn = py::object (*)(py::handle self, const Args& a);

Args parse_args(const Signature& sig, PyObject* args, PyObject* kwargs);

enum class DefKind { Method, ClassMethod, Function, Property };

struct Def {
  DefKind kind;
  const char* name;
  PyCFunction call;          // keywords calling convention, except a property's getter (METH_O)
  const Signature** parsed;  // where `call` finds the signature built from `params`
  std::vector<Param> params;
  const char* doc;           // null: none, as for the reflected operators
};

template <Fn F>
const Signature*& signature_of() {
  static const Signature* sig = nullptr;
  return sig;
}

template <Fn F>
PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
  try {
    return F(self, parse_args(*signature_of<F>(), args, kwargs)).release().ptr();
  } catch (...) {
    set_python_error_from_current_exception();
    return nullptr;
  }
}

template <Fn F>
Def make_def(DefKind kind, const char* name, std::initializer_list<Param> params, const char* doc) {
  return Def{kind, name, (PyCFunction)(void (*)(void))&call<F>, &signature_of<F>(), params, doc};
}

template <Fn F>
Def method(const char* name, std::initializer_list<Param> params, const char* doc) {
  return make_def<F>(DefKind::Method, name, params, doc);
}
template <Fn F>
Def classmethod(const char* name, std::initializer_list<Param> params, const char* doc) {
  return make_def<F>(DefKind::ClassMethod, name, params, doc);
}
template <Fn F>
Def function(const char* name, std::initializer_list<Param> params, const char* doc) {
  return make_def<F>(DefKind::Function, name, params, doc);
}
template <Getter G>
Def property(const char* name, const char* doc) {
  return Def{DefKind::Property, name, &getter_trampoline<G>, nullptr, {}, doc};
}

// Public module functions of a table, in table order: what __all__ lists.
using Exports = std::vector<std::string>;

// Adds every entry to `cls` (methods, class methods, properties) or to `module` (functions).
Exports install(py::handle cls, py::handle module, const Def* defs, size_t count);

template <size_t N>
Exports install(py::handle cls, py::handle module, const Def (&defs)[N]) {
  return install(cls, module, defs, N);
}
template <size_t N>
void install(py::handle cls, const Def (&defs)[N]) {
  install(cls, py::handle(), defs, N);
}

// "name(self, /, a, b=1)" as help() shows it, for tests and messages.
std::string text_signature(const Def& def);

}  // namespace korvex::python
