#include "python/args.h"

#include <torch/csrc/Exceptions.h>

#include "python/errors.h"


namespace korvex::python {

// As a class written in Python would be named: a heap type (ModularTensor, a Python class)
// by its __name__, a static type by its tp_name (torch.Size, str).
std::string type_name(py::handle obj) {
  PyTypeObject* t = Py_TYPE(obj.ptr());
  if (PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE)) {
    py::object name = py::reinterpret_borrow<py::object>(((PyHeapTypeObject*)t)->ht_name);
    return name.cast<std::string>();
  }
  return t->tp_name;
}

void raise_bad_type(const char* name, const char* expected, py::handle got) {
  raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name, expected,
               type_name(got).c_str());
}

py::object coerce_int(py::handle v, const char* name) {
  if (PyLong_CheckExact(v.ptr())) return py::reinterpret_borrow<py::object>(v);
  if (!PyNumber_Check(v.ptr())) raise_bad_type(name, "int", v);
  PyObject* r = PyNumber_Long(v.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

py::tuple coerce_tuple(py::handle v, const char* name) {
  if (!PyTuple_CheckExact(v.ptr())) raise_bad_type(name, "tuple", v);
  return py::reinterpret_borrow<py::tuple>(v);
}

std::string coerce_str(py::handle v, const char* name) {
  if (!PyUnicode_CheckExact(v.ptr())) raise_bad_type(name, "str", v);
  return v.cast<std::string>();
}

py::object coerce_optional_float(py::handle v, const char* name) {
  if (v.is_none() || PyFloat_CheckExact(v.ptr())) return py::reinterpret_borrow<py::object>(v);
  if (!PyNumber_Check(v.ptr())) raise_bad_type(name, "float", v);
  PyObject* r = PyNumber_Float(v.ptr());
  if (!r) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

void set_python_error_from_current_exception() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const std::bad_alloc&) {
    // Impossible sizes and exhausted memory alike: what Python raises for either.
    PyErr_NoMemory();
  } catch (...) {
    // c10 errors (IndexError, ValueError, ...), std::bad_alloc and the rest, translated the
    // way torch translates its own.
    torch::translate_exception_to_python(std::current_exception());
  }
}

bool int_to_sbig(py::handle v, exact::SBig& out) {
  out = exact::SBig();
  int overflow = 0;
  long long s = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
  if (s == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (!overflow) {
    out.neg = s < 0;
    out.mag = exact::UBig(s < 0 ? (exact::u64)0 - (exact::u64)s : (exact::u64)s);
    return true;
  }
  py::object mag = py::reinterpret_steal<py::object>(PyNumber_Absolute(v.ptr()));
  if (!mag) throw py::error_already_set();
  const size_t bits = _PyLong_NumBits(mag.ptr());
  if (bits > (size_t)64 * (exact::kLimbs - 1)) return false;
  const size_t nbytes = 8 * (size_t)exact::kLimbs;
  unsigned char buf[8 * exact::kLimbs] = {0};
#if PY_VERSION_HEX >= 0x030D0000
  if (PyLong_AsNativeBytes(mag.ptr(), buf, (Py_ssize_t)nbytes,
                           Py_ASNATIVEBYTES_LITTLE_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER) < 0)
    throw py::error_already_set();
#else
  if (_PyLong_AsByteArray((PyLongObject*)mag.ptr(), buf, nbytes, 1, 0) < 0) throw py::error_already_set();
#endif
  std::memcpy(out.mag.w, buf, nbytes);
  out.mag.n = exact::kLimbs;
  out.mag.trim();
  out.neg = overflow < 0;
  return true;
}

py::object sbig_to_int(const exact::SBig& x) {
  PyObject* r;
  if (x.mag.n <= 1) {
    r = PyLong_FromUnsignedLongLong(x.mag.n ? x.mag.w[0] : 0);
  } else {
    r = _PyLong_FromByteArray((const unsigned char*)x.mag.w, 8 * (size_t)x.mag.n, 1, 0);
  }
  if (!r) throw py::error_already_set();
  py::object o = py::reinterpret_steal<py::object>(r);
  if (x.neg) {
    PyObject* n = PyNumber_Negative(o.ptr());
    if (!n) throw py::error_already_set();
    o = py::reinterpret_steal<py::object>(n);
  }
  return o;
}

}  // namespace korvex::python
