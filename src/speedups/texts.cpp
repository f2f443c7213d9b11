#include "speedups/texts.hpp"

#include <algorithm>

#include "py/error.hpp"
#include "py/names.hpp"

namespace vexo::speedups {

namespace {

// Kept for the life of the process, like the interned names.
struct Descriptors {
  PyObject* qualname = nullptr;
  PyObject* module = nullptr;
};
Descriptors descriptors;
PyObject* cut = nullptr;

// Must stay equal to the Python walk's _INT_TEXT_MAX_BITS.
constexpr std::size_t kIntTextMaxBits = 4096;

// `descriptor.__get__(cls)`; a null Ref when it raised an Exception, which the caller swallows.
py::Ref descriptor_get(PyObject* descriptor, PyObject* cls) {
  PyObject* got = Py_TYPE(descriptor)->tp_descr_get(descriptor, cls, nullptr);
  if (got != nullptr) return py::Ref::steal(got);
  py::Error error = py::Error::fetch();
  if (!error.matches(PyExc_Exception)) throw error;
  return py::Ref();
}

bool equals(PyObject* text, const char* ascii) {
  return PyUnicode_CompareWithASCIIString(text, ascii) == 0;
}

}  // namespace

void init_texts() {
  if (cut != nullptr) return;
  const py::Names& names = py::names();
  py::Ref type_dict =
      py::check(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyType_Type), "__dict__"));
  descriptors.qualname = py::check(PyObject_GetItem(type_dict.get(), names.__qualname__)).release();
  descriptors.module = py::check(PyObject_GetItem(type_dict.get(), names.__module__)).release();
  cut = py::check(PyUnicode_FromString("\xe2\x80\xa6")).release();
}

PyObject* cut_mark() noexcept { return cut; }

py::Ref type_name(PyObject* value) {
  return class_name(reinterpret_cast<PyObject*>(Py_TYPE(value)));
}

py::Ref class_name(PyObject* cls) {
  py::Ref qualname = descriptor_get(descriptors.qualname, cls);
  if (!qualname) return py::check(PyUnicode_FromString("object"));
  py::Ref module = descriptor_get(descriptors.module, cls);
  if (!module) return py::check(PyUnicode_FromString("object"));
  if (!PyUnicode_Check(qualname.get())) return py::check(PyUnicode_FromString("object"));
  // A str subclass: its characters, none of its methods.
  if (!PyUnicode_CheckExact(qualname.get()))
    qualname = py::check(PyUnicode_Type.tp_str(qualname.get()));
  if (PyUnicode_CheckExact(module.get()) && !equals(module.get(), "builtins") &&
      !equals(module.get(), "__main__")) {
    return py::check(PyUnicode_FromFormat("%U.%U", module.get(), qualname.get()));
  }
  return qualname;
}

py::Ref nested_too_deep_text(PyObject* value) {
  return py::check(PyUnicode_FromFormat("<%U: nested too deep>", type_name(value).get()));
}

py::Ref cycle_text(PyObject* value) {
  return py::check(PyUnicode_FromFormat("<%U: cycle>", type_name(value).get()));
}

py::Ref unreadable_text(PyObject* value, PyObject* error) {
  py::Ref name = type_name(value);
  return py::check(
      PyUnicode_FromFormat("<%U: unreadable (%U)>", name.get(), type_name(error).get()));
}

py::Ref repr_failed_text(PyObject* value, PyObject* error) {
  py::Ref name = type_name(value);
  return py::check(
      PyUnicode_FromFormat("<%U: repr failed (%U)>", name.get(), type_name(error).get()));
}

py::Ref unserializable_text(PyObject* value, PyObject* error) {
  py::Ref name = type_name(value);
  return py::check(
      PyUnicode_FromFormat("<%U: unserializable (%U)>", name.get(), type_name(error).get()));
}

py::Ref repr_text(PyObject* value, bool& failed) {
  PyObject* shown = PyObject_Repr(value);
  if (shown == nullptr) {
    py::Error error = py::Error::fetch();
    if (!error.matches(PyExc_Exception)) throw error;
    failed = true;
    return repr_failed_text(value, error.value());
  }
  py::Ref held = py::Ref::steal(shown);
  // A str subclass: its characters, none of its methods.
  if (!PyUnicode_CheckExact(shown)) return py::check(PyUnicode_Type.tp_str(shown));
  return held;
}

py::Ref int_text(PyObject* value) {
  // The bit count of the magnitude, as int.bit_length() gives it.
  std::size_t bits = _PyLong_NumBits(value);
  if (bits == static_cast<std::size_t>(-1)) py::throw_error();
  if (bits > kIntTextMaxBits) return py::check(PyUnicode_FromFormat("<int of %zu bits>", bits));
  return py::check(PyLong_Type.tp_repr(value));
}

py::Ref cut_text(PyObject* text, Py_ssize_t limit) {
  Py_ssize_t stop = limit - 1;
  if (stop < 0) stop = std::max<Py_ssize_t>(PyUnicode_GET_LENGTH(text) + stop, 0);
  py::Ref prefix = py::check(PyUnicode_Substring(text, 0, stop));
  return py::check(PyUnicode_Concat(prefix.get(), cut));
}

py::Ref cut_bytes_text(const char* data, Py_ssize_t size, Py_ssize_t limit) {
  py::Ref prefix = py::check(PyBytes_FromStringAndSize(data, std::min(size, limit)));
  py::Ref shown = py::check(PyObject_Repr(prefix.get()));
  return py::check(PyUnicode_FromFormat("%U%U (%zd bytes)", shown.get(), cut, size));
}

}  // namespace vexo::speedups
