#include "speedups/value_memo.hpp"

#include <new>

#include "py/error.hpp"

namespace vexo::speedups {

namespace {

struct MemoObject {
  PyObject_HEAD
  ValueMemo* memo;
};

PyObject* new_memo(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "ValueMemo() takes no arguments");
    return nullptr;
  }
  PyObject* made = type->tp_alloc(type, 0);
  if (made == nullptr) return nullptr;
  // vexo.serialize.MEMO_ENTRIES.
  constexpr std::size_t kCapacity = 100'000;
  reinterpret_cast<MemoObject*>(made)->memo = new (std::nothrow) ValueMemo(kCapacity);
  if (reinterpret_cast<MemoObject*>(made)->memo == nullptr) {
    Py_DECREF(made);
    return PyErr_NoMemory();
  }
  return made;
}

void free_memo(PyObject* object) {
  delete reinterpret_cast<MemoObject*>(object)->memo;
  Py_TYPE(object)->tp_free(object);
}

}  // namespace

std::optional<std::span<const std::uint8_t>> ValueMemo::reference(const MemoKey& key,
                                                                  std::uint64_t digest) const {
  auto found = entries_.find(key);
  if (found == entries_.end() || found->second.digest != digest) return std::nullopt;
  const std::string& reference = found->second.reference;
  return std::span(reinterpret_cast<const std::uint8_t*>(reference.data()), reference.size());
}

void ValueMemo::remember(const MemoKey& key, std::uint64_t digest, std::string reference) {
  if (entries_.size() >= capacity_ && !entries_.contains(key)) return;
  entries_.insert_or_assign(key, Entry{digest, std::move(reference)});
}

PyTypeObject* value_memo_type() {
  static PyTypeObject* type = [] {
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(new_memo)},
        {Py_tp_dealloc, reinterpret_cast<void*>(free_memo)},
        {Py_tp_doc,
         const_cast<char*>("ValueMemo()\n--\n\nThe objects one trace has written in full, for "
                           "references to those dumps (made by the tracer for every trace).")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"vexo._speedups.ValueMemo", sizeof(MemoObject), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(py::check(PyType_FromSpec(&spec)).release());
  }();
  return type;
}

ValueMemo& value_memo_of(PyObject* object) {
  if (!Py_IS_TYPE(object, value_memo_type())) {
    py::throw_error(PyExc_TypeError, "memo must be a vexo.serialize.ValueMemo");
  }
  return *reinterpret_cast<MemoObject*>(object)->memo;
}

}  // namespace vexo::speedups
