#include "speedups/limits.hpp"

#include "py/error.hpp"

namespace vexo::speedups {

namespace {

Py_ssize_t count_from(PyObject* item, bool none_allowed) {
  if (none_allowed && item == Py_None) return Limits::kAll;
  if (!PyLong_Check(item)) {
    py::throw_error(PyExc_TypeError, "limits must be ints (max_text and max_bytes may be None)");
  }
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
  if (value == -1 && PyErr_Occurred()) py::throw_error();
  if (overflow < 0 || (overflow == 0 && value < 0)) {
    py::throw_error(PyExc_ValueError, "limits must not be negative");
  }
  if (overflow > 0 || value > PY_SSIZE_T_MAX) return PY_SSIZE_T_MAX;
  return static_cast<Py_ssize_t>(value);
}

}  // namespace

Limits limits_from(PyObject* tuple) {
  if (!PyTuple_Check(tuple) || PyTuple_GET_SIZE(tuple) < 5 || PyTuple_GET_SIZE(tuple) > 6) {
    py::throw_error(
        PyExc_TypeError,
        "limits must be a tuple (max_depth, max_items, max_nodes, max_text, max_bytes[, safe])");
  }
  Limits limits;
  limits.max_depth = count_from(PyTuple_GET_ITEM(tuple, 0), false);
  limits.max_items = count_from(PyTuple_GET_ITEM(tuple, 1), false);
  limits.max_nodes = count_from(PyTuple_GET_ITEM(tuple, 2), false);
  limits.max_text = count_from(PyTuple_GET_ITEM(tuple, 3), true);
  limits.max_bytes = count_from(PyTuple_GET_ITEM(tuple, 4), true);
  if (PyTuple_GET_SIZE(tuple) == 6) {
    PyObject* safe = PyTuple_GET_ITEM(tuple, 5);
    if (!PyBool_Check(safe)) py::throw_error(PyExc_TypeError, "limits' safe must be a bool");
    limits.safe = safe == Py_True;
  }
  return limits;
}

}  // namespace vexo::speedups
