#include "record/axes.h"

#include <c10/util/StringUtil.h>

#include <algorithm>

#include "python/errors.h"

namespace korvex::record {

// `positions` axes, scalars counted as one: the range PyTorch's dimension wrapping accepts.
static int64_t wrap(int64_t axis, int64_t positions) {
  const int64_t n = std::max<int64_t>(positions, 1);
  if (!(-n <= axis && axis < n))
    python::raise_index_error(
        c10::str("Dimension out of range (expected to be in range of [", -n, ", ", n - 1, "], but got ", axis, ")"));
  return axis < 0 ? axis + n : axis;
}

static int64_t wrap(py::handle axis, int64_t positions) {
  int overflow = 0;
  const long long a = PyLong_AsLongLongAndOverflow(axis.ptr(), &overflow);
  if (a == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow) {
    // Beyond int64 is out of range all the same; say so with the caller's number.
    const int64_t n = std::max<int64_t>(positions, 1);
    python::raise_format(PyExc_IndexError,
                         "Dimension out of range (expected to be in range of [%lld, %lld], but got %S)",
                         (long long)-n, (long long)(n - 1), axis.ptr());
  }
  return wrap((int64_t)a, positions);
}

int64_t element_axis(int64_t axis, int64_t ndim) { return wrap(axis, ndim); }
int64_t element_axis(py::handle axis, int64_t ndim) { return wrap(axis, ndim); }
int64_t insert_axis(py::handle axis, int64_t ndim) { return wrap(axis, ndim + 1); }

}  // namespace korvex::record
