#include "py/convert.hpp"

#include <cstring>
#include <limits>

namespace vexo::py {

namespace {

// The short name of a type, as tracebacks show it.
std::string type_name(PyObject* object) {
  const char* full = Py_TYPE(object)->tp_name;
  const char* dot = std::strrchr(full, '.');
  return dot != nullptr ? std::string(dot + 1) : std::string(full);
}

bool is_numpy_bool(PyObject* object) {
  const char* name = Py_TYPE(object)->tp_name;
  return std::strcmp(name, "numpy.bool_") == 0 || std::strcmp(name, "numpy.bool") == 0;
}

// An int, or what the index protocol makes of the object.
Ref as_int(PyObject* object) {
  if (PyLong_Check(object)) return Ref::share(object);
  return check(PyNumber_Index(object));
}

}  // namespace

Error downcast_error(PyObject* object, const char* expected) noexcept {
  try {
    std::string message;
    message.append("'").append(type_name(object)).append("' object cannot be converted to '");
    message.append(expected).append("'");
    return Error::make(PyExc_TypeError, message);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return Error::fetch();
  }
}

void throw_downcast(PyObject* object, const char* expected) {
  throw downcast_error(object, expected);
}

bool to_bool_strict(PyObject* object) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (is_numpy_bool(object)) return check_status(PyObject_IsTrue(object)) != 0;
  throw_downcast(object, "PyBool");
}

std::uint64_t to_u64(PyObject* object) {
  Ref integer = as_int(object);
  unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error();
  return value;
}

std::size_t to_word(PyObject* object) {
  std::uint64_t value = to_u64(object);
  if (value > std::numeric_limits<std::size_t>::max()) throw_error(PyExc_OverflowError, kRangeText);
  return static_cast<std::size_t>(value);
}

std::int32_t to_i32(PyObject* object) {
  Ref integer = as_int(object);
  long long value = PyLong_AsLongLong(integer.get());
  if (value == -1 && PyErr_Occurred()) throw_error();
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    throw_error(PyExc_OverflowError, kRangeText);
  }
  return static_cast<std::int32_t>(value);
}

std::string_view text_view(PyObject* object) {
  if (!PyUnicode_Check(object)) throw_downcast(object, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) throw_error();
  return std::string_view(data, static_cast<std::size_t>(size));
}

std::vector<std::string> to_text_list(PyObject* object) {
  if (PyUnicode_Check(object)) throw_error(PyExc_TypeError, kStrToVecText);
  if (!PySequence_Check(object)) throw_downcast(object, "Sequence");
  Py_ssize_t size = PySequence_Size(object);
  if (size < 0) throw_error();
  std::vector<std::string> texts;
  texts.reserve(static_cast<std::size_t>(size));
  Ref iterator = check(PyObject_GetIter(object));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) texts.push_back(to_text(item.get()));
  if (PyErr_Occurred()) throw_error();
  return texts;
}

std::vector<std::uint8_t> to_byte_vector(PyObject* object) {
  if (PyBytes_Check(object)) {
    auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object));
    return std::vector<std::uint8_t>(data, data + PyBytes_GET_SIZE(object));
  }
  if (PyByteArray_Check(object)) {
    auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(object));
    return std::vector<std::uint8_t>(data, data + PyByteArray_GET_SIZE(object));
  }
  if (PyUnicode_Check(object)) throw_error(PyExc_TypeError, kStrToVecText);
  if (!PySequence_Check(object)) throw_downcast(object, "Sequence");
  Py_ssize_t size = PySequence_Size(object);
  if (size < 0) throw_error();
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(size));
  Ref iterator = check(PyObject_GetIter(object));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    Ref integer = as_int(item.get());
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(integer.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) throw_error();
    if (overflow != 0 || value < 0 || value > 255) throw_error(PyExc_OverflowError, kRangeText);
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  if (PyErr_Occurred()) throw_error();
  return bytes;
}

Ref new_text(std::string_view text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace vexo::py
