#include "speedups/fingerprint.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "py/error.hpp"
#include "speedups/objects.hpp"

namespace vexo::speedups {

namespace {

// What each kind of value adds before its contents, so that equal contents of different kinds
// (an int and a float, a list and a tuple) differ.
enum Tag : std::uint64_t {
  kNone = 1,
  kFalse,
  kTrue,
  kInt,
  kBigInt,
  kFloat,
  kText,
  kBytes,
  kByteArray,
  kMap,
  kObject,
  kArray,
  kDeep,
  kCycle,
  kKey,
};

class Digest {
 public:
  explicit Digest(const Limits& limits) : limits_(limits), nodes_left_(limits.max_nodes) {}

  std::uint64_t value() const noexcept { return hash_; }

  void add(PyObject* value, Py_ssize_t depth) {
    PyTypeObject* cls = Py_TYPE(value);
    if (cls == &PyUnicode_Type) return text(value);
    if (value == Py_None) return mix(kNone);
    if (cls == &PyBool_Type) return mix(value == Py_True ? kTrue : kFalse);
    if (cls == &PyFloat_Type) return real(value);
    if (cls == &PyLong_Type) return integer(value);
    if (cls == &PyDict_Type) return container(value, kMap, depth);
    if (cls == &PyList_Type || cls == &PyTuple_Type) return container(value, kArray, depth);
    if (cls == &PyBytes_Type) return bytes(value);
    if (cls == &PyByteArray_Type) return byte_array(value);
    object(value, cls, depth);
  }

 private:
  void mix(std::uint64_t word) noexcept {
    hash_ = (hash_ ^ word) * 0x100000001b3ULL;
    hash_ ^= hash_ >> 29;
  }

  void mix_hash(PyObject* value, hashfunc hash) {
    Py_hash_t found = hash(value);
    if (found == -1 && PyErr_Occurred()) py::throw_error();
    mix(static_cast<std::uint64_t>(found));
  }

  void text(PyObject* value) {
    mix(kText);
    mix_hash(value, PyUnicode_Type.tp_hash);
  }

  void bytes(PyObject* value) {
    mix(kBytes);
    mix_hash(value, PyBytes_Type.tp_hash);
  }

  void real(PyObject* value) {
    double number = PyFloat_AS_DOUBLE(value);
    std::uint64_t bits = 0;
    std::memcpy(&bits, &number, sizeof bits);
    mix(kFloat);
    mix(bits);
  }

  void integer(PyObject* value) {
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
      if (number == -1 && PyErr_Occurred()) py::throw_error();
      mix(kInt);
      mix(static_cast<std::uint64_t>(number));
      return;
    }
    mix(kBigInt);
    mix_hash(value, PyLong_Type.tp_hash);
  }

  // The bytes a dump could show, and how many there are.
  void byte_array(PyObject* value) {
    Py_ssize_t size = PyByteArray_GET_SIZE(value);
    Py_ssize_t shown = limits_.max_bytes == Limits::kAll ? size : std::min(size, limits_.max_bytes);
    const auto* data = reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(value));
    mix(kByteArray);
    mix(static_cast<std::uint64_t>(size));
    for (Py_ssize_t index = 0; index < shown; ++index) mix(data[index]);
  }

  // As Walk::safe_object chooses.
  void object(PyObject* value, PyTypeObject* cls, Py_ssize_t depth) {
    if (objects::shown_as_fields(cls)) return container(value, kObject, depth);
    if (objects::is_enum_type(cls)) {
      if (py::Ref shown = objects::enum_text(value)) return text(shown.get());
    }
    if (PyUnicode_Check(value)) return text(value);
    if (PyLong_Check(value)) return integer(value);
    if (PyFloat_Check(value)) return real(value);
    if (PyBytes_Check(value)) return bytes(value);
    if (PyByteArray_Check(value)) return byte_array(value);
    if (PyDict_Check(value)) return container(value, kMap, depth);
    if (PyList_Check(value) || PyTuple_Check(value) || PyAnySet_Check(value)) {
      return container(value, kArray, depth);
    }
    if (py::Ref shown = objects::known_text(value)) return text(shown.get());
    container(value, kObject, depth);
  }

  void container(PyObject* value, Tag kind, Py_ssize_t depth) {
    if (depth >= limits_.max_depth) {
      mix(kDeep);
      mix(reinterpret_cast<std::uintptr_t>(Py_TYPE(value)));
      return;
    }
    if (std::find(open_.begin(), open_.end(), value) != open_.end()) {
      mix(kCycle);
      mix(reinterpret_cast<std::uintptr_t>(Py_TYPE(value)));
      return;
    }
    open_.push_back(value);
    mix(kind);
    if (kind == kMap) {
      mapping(value, depth + 1);
    } else if (kind == kObject) {
      instance(value, depth + 1);
    } else {
      sequence(value, depth + 1);
    }
    open_.pop_back();
  }

  Py_ssize_t quota(Py_ssize_t size) noexcept {
    Py_ssize_t kept = std::min({size, limits_.max_items, nodes_left_});
    nodes_left_ -= kept;
    mix(static_cast<std::uint64_t>(size));
    return kept;
  }

  void mapping(PyObject* value, Py_ssize_t depth) {
    Py_ssize_t kept = quota(PyDict_GET_SIZE(value));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    for (Py_ssize_t count = 0; count < kept && PyDict_Next(value, &position, &key, &item);
         ++count) {
      entry(key, item, depth);
    }
  }

  void instance(PyObject* value, Py_ssize_t depth) {
    std::vector<objects::Field> fields;
    py::Ref name = objects::fields(value, fields);
    text(name.get());
    Py_ssize_t kept = quota(static_cast<Py_ssize_t>(fields.size()));
    for (Py_ssize_t index = 0; index < kept; ++index) {
      const auto& [key, item] = fields[static_cast<std::size_t>(index)];
      entry(key.get(), item.get(), depth);
    }
  }

  void sequence(PyObject* value, Py_ssize_t depth) {
    if (PyAnySet_Check(value)) {
      // Through the built-in iterator, as Walk reads a set.
      Py_ssize_t kept = quota(PySet_GET_SIZE(value));
      PyTypeObject* type = PyFrozenSet_Check(value) ? &PyFrozenSet_Type : &PySet_Type;
      py::Ref iterator = py::check(type->tp_iter(value));
      iternextfunc next = Py_TYPE(iterator.get())->tp_iternext;
      for (Py_ssize_t count = 0; count < kept; ++count) {
        py::Ref item = py::Ref::steal(next(iterator.get()));
        if (!item) {
          if (PyErr_Occurred()) py::throw_error();
          break;
        }
        add(item.get(), depth);
      }
      return;
    }
    bool list = PyList_Check(value);
    Py_ssize_t kept = quota(list ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value));
    for (Py_ssize_t index = 0; index < kept; ++index) {
      add(list ? PyList_GET_ITEM(value, index) : PyTuple_GET_ITEM(value, index), depth);
    }
  }

  void entry(PyObject* key, PyObject* item, Py_ssize_t depth) {
    mix(kKey);
    PyTypeObject* cls = Py_TYPE(key);
    if (cls == &PyUnicode_Type || cls == &PyLong_Type || cls == &PyFloat_Type ||
        cls == &PyBool_Type || cls == &PyBytes_Type || key == Py_None) {
      add(key, 0);
    } else {
      text(objects::key_text(key).get());
    }
    add(item, depth);
  }

  const Limits& limits_;
  Py_ssize_t nodes_left_;
  std::vector<PyObject*> open_;
  std::uint64_t hash_ = 0xcbf29ce484222325ULL;
};

}  // namespace

std::optional<std::uint64_t> fingerprint(PyObject* value, const Limits& limits, Py_ssize_t depth) {
  Digest digest(limits);
  try {
    digest.add(value, depth);
  } catch (const py::Error& error) {
    if (!error.matches(PyExc_Exception)) throw;
    return std::nullopt;
  }
  return digest.value();
}

}  // namespace vexo::speedups
