// Values the tracer does not encode itself go through the package's serializer.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

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

// Which function of vexo.serialize dumps the values: dump_msgpack, dump_msgpack_repr,
// dump_msgpack_full, dump_msgpack_lightweight or dump_msgpack_lightweight_repr.
enum class Dumper : std::uint8_t { kSafe, kRepr, kFull, kLightweight, kLightweightRepr };

// The dumper for a profiler's "values" setting ("safe", "repr" or "full"; any other counts as
// "safe") and its "lightweight_repr" flag, whose tighter limits win over "full".
Dumper dumper_for(std::string_view values, bool lightweight) noexcept;

// The dumper's function called with the value. Throws py::Error.
Dumped dump_value(PyObject* value, Dumper dumper);

// The same, as an owned byte vector.
msgpack::Bytes dump(PyObject* value, Dumper dumper);

}  // namespace vexo::dump
