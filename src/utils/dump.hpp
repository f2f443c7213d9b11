// Values the tracer does not encode itself go through the package's serializer.
#pragma once

#include <cstdint>
#include <span>

#include "py/ref.hpp"
#include "utils/msgpack.hpp"

namespace vexo::dump {

// One serialized value. A bytes result is read where it lies; any other accepted sequence is
// converted once.
class Dumped {
 public:
  Dumped(py::Ref object, msgpack::Bytes converted)
      : object_(std::move(object)), converted_(std::move(converted)) {}

  std::span<const std::uint8_t> bytes() const noexcept;

 private:
  py::Ref object_;  // the serializer's bytes object, when it gave one
  msgpack::Bytes converted_;
};

// vexo.serialize.dump_msgpack(value), or dump_msgpack_lightweight_repr(value) when `lightweight`.
// Throws py::Error.
Dumped dump_value(PyObject* value, bool lightweight);

// The same, as an owned byte vector.
msgpack::Bytes dump_msgpack(PyObject* value);
msgpack::Bytes dump_msgpack_lightweight_repr(PyObject* value);

inline msgpack::Bytes dump(PyObject* value, bool lightweight) {
  return lightweight ? dump_msgpack_lightweight_repr(value) : dump_msgpack(value);
}

}  // namespace vexo::dump
