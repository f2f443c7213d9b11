#include "utils/dump.hpp"

#include "py/convert.hpp"
#include "py/object.hpp"

namespace vexo::dump {

namespace {

// Imported on every call, never kept: the module table makes the repeat a lookup, and a
// serializer replaced at run time (or gone at shutdown) is seen as it is now.
msgpack::Bytes call_serializer(PyObject* function_name, PyObject* value) {
  py::Ref serialize = py::import("vexo.serialize");
  py::Ref function = py::getattr(serialize.get(), function_name);
  py::Ref result = py::call(function.get(), {value});
  return py::to_byte_vector(result.get());
}

}  // namespace

msgpack::Bytes dump_msgpack(PyObject* value) {
  return call_serializer(py::names().dump_msgpack, value);
}

msgpack::Bytes dump_msgpack_lightweight_repr(PyObject* value) {
  return call_serializer(py::names().dump_msgpack_lightweight_repr, value);
}

}  // namespace vexo::dump
