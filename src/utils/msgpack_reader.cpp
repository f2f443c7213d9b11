#include "utils/msgpack_reader.hpp"

#include <cstring>

#include "py/error.hpp"

namespace vexo::msgpack {

void damaged() { py::throw_error(PyExc_ValueError, "damaged MessagePack document"); }

py::Ref scalar_value(const uint8_t* at) {
  const uint8_t code = *at;
  const auto big = [at](size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value = (value << 8) | at[1 + i];
    return value;
  };
  if (code <= 0x7f) return py::check(PyLong_FromLong(code));
  if (code >= 0xe0) return py::check(PyLong_FromLong(static_cast<int8_t>(code)));
  if (code == 0xc0) return py::Ref::none();
  if (code == 0xc2) return py::Ref::share(Py_False);
  if (code == 0xc3) return py::Ref::share(Py_True);
  if (code >= 0xcc && code <= 0xcf) {
    return py::check(PyLong_FromUnsignedLongLong(big(size_t{1} << (code - 0xcc))));
  }
  if (code >= 0xd0 && code <= 0xd3) {
    const size_t width = size_t{1} << (code - 0xd0);
    const uint64_t raw = big(width);
    const int shift = static_cast<int>(64 - 8 * width);
    const auto signed_value = static_cast<int64_t>(raw << shift) >> shift;
    return py::check(PyLong_FromLongLong(signed_value));
  }
  if (code == 0xcb) {
    const uint64_t raw = big(8);
    double number = 0;
    std::memcpy(&number, &raw, sizeof number);
    return py::check(PyFloat_FromDouble(number));
  }
  if (code == 0xca) {
    const auto raw = static_cast<uint32_t>(big(4));
    float number = 0;
    std::memcpy(&number, &raw, sizeof number);
    return py::check(PyFloat_FromDouble(number));
  }
  return py::Ref();
}

}  // namespace vexo::msgpack
