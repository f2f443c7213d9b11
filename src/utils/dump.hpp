// Values the tracer does not encode itself go through the package's serializer.
#pragma once

#include "py/ref.hpp"
#include "utils/msgpack.hpp"

namespace vexo::dump {

// vexo.serialize.dump_msgpack(value), as bytes. Throws py::Error.
msgpack::Bytes dump_msgpack(PyObject* value);
// vexo.serialize.dump_msgpack_lightweight_repr(value), as bytes. Throws py::Error.
msgpack::Bytes dump_msgpack_lightweight_repr(PyObject* value);

inline msgpack::Bytes dump(PyObject* value, bool lightweight) {
  return lightweight ? dump_msgpack_lightweight_repr(value) : dump_msgpack(value);
}

}  // namespace vexo::dump
