#include "speedups/fingerprint.hpp"

#include <algorithm>
#include <array>
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

// An int of one digit (below 2**30 in magnitude), read in place.
inline bool small_int(PyObject* value, long& number) {
#if PY_VERSION_HEX >= 0x030C0000
  if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value))) return false;
  number = static_cast<long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value)));
  return true;
#else
  Py_ssize_t size = Py_SIZE(value);
  if (size < -1 || size > 1) return false;
  number = static_cast<long>(size) * reinterpret_cast<PyLongObject*>(value)->ob_digit[0];
  return true;
#endif
}

class Digest {
 public:
  explicit Digest(const Limits& limits) : limits_(limits), nodes_left_(limits.max_nodes) {}
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;

  std::uint64_t value() const noexcept { return hash_; }

  // The plain scalars that most items are, inline in the loops over items.
  void add(PyObject* value, Py_ssize_t depth) {
    PyTypeObject* cls = Py_TYPE(value);
    if (cls == &PyLong_Type) return integer(value);
    if (cls == &PyUnicode_Type) return text(value);
    if (value == Py_None) return mix(kNone);
    if (cls == &PyBool_Type) return mix(value == Py_True ? kTrue : kFalse);
    if (cls == &PyFloat_Type) return real(value);
    add_other(value, cls, depth);
  }

 private:
  [[gnu::noinline]] void add_other(PyObject* value, PyTypeObject* cls, Py_ssize_t depth) {
    if (cls == &PyDict_Type) return container(value, kMap, depth);
    if (cls == &PyList_Type || cls == &PyTuple_Type) return container(value, kArray, depth);
    if (cls == &PyBytes_Type) return bytes(value);
    if (cls == &PyByteArray_Type) return byte_array(value);
    object(value, cls, depth);
  }

  // One multiplication per word: the digest of a hundred values must cost far less than
  // writing them.
  void mix(std::uint64_t word) noexcept { hash_ = (hash_ ^ word) * 0x9e3779b97f4a7c15ULL; }
  void mix(Tag tag, std::uint64_t word) noexcept { mix(word + (tag << 56)); }

  void mix_hash(Tag tag, PyObject* value, hashfunc hash) {
    Py_hash_t found = hash(value);
    if (found == -1 && PyErr_Occurred()) py::throw_error();
    mix(tag, static_cast<std::uint64_t>(found));
  }

  void text(PyObject* value) {
    // A text's hash is kept in it once made.
    Py_hash_t known = reinterpret_cast<PyASCIIObject*>(value)->hash;
    if (known != -1 && PyUnicode_CheckExact(value))
      return mix(kText, static_cast<std::uint64_t>(known));
    mix_hash(kText, value, PyUnicode_Type.tp_hash);
  }
  void bytes(PyObject* value) { mix_hash(kBytes, value, PyBytes_Type.tp_hash); }

  void real(PyObject* value) {
    double number = PyFloat_AS_DOUBLE(value);
    std::uint64_t bits = 0;
    std::memcpy(&bits, &number, sizeof bits);
    mix(kFloat, 0);
    mix(bits);
  }

  void integer(PyObject* value) {
    long digit = 0;
    if (small_int(value, digit)) return mix(kInt, static_cast<std::uint64_t>(digit));
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
      if (number == -1 && PyErr_Occurred()) py::throw_error();
      mix(kInt, static_cast<std::uint64_t>(number));
      return;
    }
    mix_hash(kBigInt, value, PyLong_Type.tp_hash);
  }

  // The bytes a dump could show, and how many there are.
  void byte_array(PyObject* value) {
    Py_ssize_t size = PyByteArray_GET_SIZE(value);
    Py_ssize_t shown = limits_.max_bytes == Limits::kAll ? size : std::min(size, limits_.max_bytes);
    const auto* data = reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(value));
    mix(kByteArray, static_cast<std::uint64_t>(size));
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
      mix(kDeep, reinterpret_cast<std::uintptr_t>(Py_TYPE(value)));
      return;
    }
    if (std::find(open_.begin(), open_.begin() + open_count_, value) !=
        open_.begin() + open_count_) {
      mix(kCycle, reinterpret_cast<std::uintptr_t>(Py_TYPE(value)));
      return;
    }
    if (open_count_ == open_.size()) py::throw_error(PyExc_RecursionError, "nested too deep");
    open_[open_count_++] = value;
    if (kind == kMap) {
      mapping(value, depth + 1);
    } else if (kind == kObject) {
      instance(value, depth + 1);
    } else {
      sequence(value, depth + 1);
    }
    --open_count_;
  }

  // How many of `size` items are shown, taken from the node budget; the container's kind and
  // size go into the digest.
  Py_ssize_t quota(Tag kind, Py_ssize_t size) noexcept {
    Py_ssize_t kept = std::min({size, limits_.max_items, nodes_left_});
    nodes_left_ -= kept;
    mix(kind, static_cast<std::uint64_t>(size));
    return kept;
  }

  void mapping(PyObject* value, Py_ssize_t depth) {
    Py_ssize_t kept = quota(kMap, PyDict_GET_SIZE(value));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    for (Py_ssize_t count = 0; count < kept && PyDict_Next(value, &position, &key, &item);
         ++count) {
      entry(key, item, depth);
    }
  }

  // The fields of the objects being read share one vector, each object's after its outer
  // one's; they are read by index, as a nested object's fields may move them.
  void instance(PyObject* value, Py_ssize_t depth) {
    const std::size_t first = fields_.size();
    py::Ref name = objects::fields(value, fields_);
    text(name.get());
    Py_ssize_t kept = quota(kObject, static_cast<Py_ssize_t>(fields_.size() - first));
    for (Py_ssize_t index = 0; index < kept; ++index) {
      const objects::Field& field = fields_[first + static_cast<std::size_t>(index)];
      PyObject* key = field.first.get();
      PyObject* item = field.second.get();
      entry(key, item, depth);
    }
    fields_.resize(first);
  }

  void sequence(PyObject* value, Py_ssize_t depth) {
    if (PyAnySet_Check(value)) {
      // Through the built-in iterator, as Walk reads a set.
      Py_ssize_t kept = quota(kArray, PySet_GET_SIZE(value));
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
    Py_ssize_t kept = quota(kArray, list ? PyList_GET_SIZE(value) : PyTuple_GET_SIZE(value));
    for (Py_ssize_t index = 0; index < kept; ++index) {
      add(list ? PyList_GET_ITEM(value, index) : PyTuple_GET_ITEM(value, index), depth);
    }
  }

  void entry(PyObject* key, PyObject* item, Py_ssize_t depth) {
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
  std::array<PyObject*, 64> open_;  // the containers being read, outermost first
  std::size_t open_count_ = 0;
  // The usual few fields need no allocation.
  std::byte arena_buffer_[1024];
  std::pmr::monotonic_buffer_resource arena_{arena_buffer_, sizeof arena_buffer_};
  objects::Fields fields_{&arena_};
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
