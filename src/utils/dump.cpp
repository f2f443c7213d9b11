#include "utils/dump.hpp"

#include "py/convert.hpp"
#include "py/object.hpp"

namespace vexo::dump {

namespace {

// Looked up on every call, never kept: a serializer replaced at run time (or gone at shutdown) is
// seen as it is now.
py::Ref call_serializer(PyObject* function_name, PyObject* value) {
  py::Ref function = py::import_attribute("vexo.serialize", function_name);
  return py::call(function.get(), {value});
}

PyObject* function_name(bool lightweight) {
  return lightweight ? py::names().dump_msgpack_lightweight_repr : py::names().dump_msgpack;
}

}  // namespace

std::span<const std::uint8_t> Dumped::bytes() const noexcept {
  if (object_) {
    return {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object_.get())),
            static_cast<std::size_t>(PyBytes_GET_SIZE(object_.get()))};
  }
  return converted_;
}

Dumped dump_value(PyObject* value, bool lightweight) {
  py::Ref result = call_serializer(function_name(lightweight), value);
  if (PyBytes_Check(result.get())) return Dumped(std::move(result), {});
  return Dumped(py::Ref(), py::to_byte_vector(result.get()));
}

msgpack::Bytes dump_msgpack(PyObject* value) {
  return py::to_byte_vector(call_serializer(function_name(false), value).get());
}

msgpack::Bytes dump_msgpack_lightweight_repr(PyObject* value) {
  return py::to_byte_vector(call_serializer(function_name(true), value).get());
}

}  // namespace vexo::dump
