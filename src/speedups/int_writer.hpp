// An interpreter int as msgpack.packb writes it, for the dumps and the trace index alike.
#pragma once

#include "py/error.hpp"
#include "py/python.hpp"
#include "utils/msgpack_writer.hpp"

namespace vexo::speedups {

// Writes an int that has a 64-bit form (the shortest); false for one that has not.
template <class Out>
bool write_if_64_bits(Out& out, PyObject* value) {
  int overflow = 0;
  long long signed_value = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow == 0) {
    if (signed_value == -1 && PyErr_Occurred()) py::throw_error();
    msgpack::write::integer(out, signed_value);
    return true;
  }
  if (overflow < 0) return false;
  unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(value);
  if (unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) py::throw_error();
    PyErr_Clear();
    return false;
  }
  msgpack::write::uint(out, unsigned_value);
  return true;
}

}  // namespace vexo::speedups
