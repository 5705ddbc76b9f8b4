#include "python/errors.h"

#include <cstdarg>

namespace korvex::python {

void raise_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw pybind11::error_already_set();
}

}  // namespace korvex::python
