#include "utils/dump.hpp"

#include "py/convert.hpp"
#include "py/object.hpp"

namespace vexo::dump {

namespace {

// Looked up for every call: a serializer replaced at run time (or gone at shutdown) is seen as it
// is now. The look-up is answered from the last one while sys.modules and the module are as they
// were; it was an eighth of a recorded event. Never freed: static destructors run after the
// interpreter is gone.
py::ModuleAttribute& serializer(bool lightweight) {
  static auto* full = new py::ModuleAttribute("vexo.serialize", py::names().dump_msgpack);
  static auto* light =
      new py::ModuleAttribute("vexo.serialize", py::names().dump_msgpack_lightweight_repr);
  return lightweight ? *light : *full;
}

py::Ref call_serializer(bool lightweight, PyObject* value) {
  py::Ref function = serializer(lightweight).get();
  return py::call(function.get(), {value});
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
  py::Ref result = call_serializer(lightweight, value);
  if (PyBytes_Check(result.get())) return Dumped(std::move(result), {});
  return Dumped(py::Ref(), py::to_byte_vector(result.get()));
}

msgpack::Bytes dump_msgpack(PyObject* value) {
  return py::to_byte_vector(call_serializer(false, value).get());
}

msgpack::Bytes dump_msgpack_lightweight_repr(PyObject* value) {
  return py::to_byte_vector(call_serializer(true, value).get());
}

}  // namespace vexo::dump
