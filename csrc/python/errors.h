// The one way code above the kernels raises a Python exception: the exact type and text the
// interface documents, chosen where the error is found.
//
// `raise` and its shorthands throw a C++ exception that carries the type and the text and
// touches nothing of Python until the call returns to the interpreter, so they are safe with
// the GIL released (inside parallel loops, next to the pool). `raise_format` is for texts
// that show Python objects (%S) or clip names as CPython does (%.200s); it formats at once
// and therefore needs the GIL, which every caller showing a Python object holds anyway.
//
// What stays outside: kernels/ and exact/ include only ATen and the exact core, never
// pybind or Python, so their few precondition checks stay TORCH_CHECK and surface as
// PyTorch's RuntimeError, as ATen's own ops do; std::bad_alloc from impossible sizes becomes
// MemoryError in python/args.cpp's translator; and `throw py::error_already_set()` only
// passes on an error a failed C API call has already set.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>

namespace korvex::python {

class Error : public pybind11::builtin_exception {
 public:
  Error(PyObject* type, const std::string& message) : builtin_exception(message), type_(type) {}
  void set_error() const override { PyErr_SetString(type_, what()); }

 private:
  PyObject* type_;
};

[[noreturn]] inline void raise(PyObject* type, const std::string& message) { throw Error(type, message); }

[[noreturn]] inline void raise_value_error(const std::string& m) { raise(PyExc_ValueError, m); }
[[noreturn]] inline void raise_type_error(const std::string& m) { raise(PyExc_TypeError, m); }
[[noreturn]] inline void raise_index_error(const std::string& m) { raise(PyExc_IndexError, m); }
[[noreturn]] inline void raise_overflow_error(const std::string& m) { raise(PyExc_OverflowError, m); }
[[noreturn]] inline void raise_not_implemented(const std::string& m) { raise(PyExc_NotImplementedError, m); }
// The texts PyTorch itself gives as RuntimeError (negative sizes, device mismatches).
[[noreturn]] inline void raise_runtime_error(const std::string& m) { raise(PyExc_RuntimeError, m); }

// PyErr_Format's conversions; needs the GIL.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

}  // namespace korvex::python
