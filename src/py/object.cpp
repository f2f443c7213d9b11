#include "py/object.hpp"

#include <cstring>
#include <string>
#include <unordered_map>

namespace vexo::py {

namespace {

// Module names as interned strings, one per literal, made once and kept.
PyObject* module_name_of(const char* module) {
  static std::unordered_map<const char*, PyObject*> names;  // guarded by the interpreter lock
  auto found = names.find(module);
  if (found != names.end()) return found->second;
  PyObject* name = check(PyUnicode_InternFromString(module)).release();
  names.emplace(module, name);
  return name;
}

PyObject* module_name(const char* module) {
  // Guarded by the interpreter lock. Most calls in a row name the same module (the serializer's).
  static const char* last_module = nullptr;
  static PyObject* last_name = nullptr;
  if (module == last_module) return last_name;
  last_name = module_name_of(module);
  last_module = module;
  return last_name;
}

// The module as sys.modules holds it, or null.
Ref loaded_module(PyObject* name) {
  PyObject* modules = PyImport_GetModuleDict();
  if (!PyDict_CheckExact(modules)) return Ref();
  PyObject* loaded = PyDict_GetItemWithError(modules, name);
  if (loaded != nullptr && loaded != Py_None) return Ref::share(loaded);
  if (PyErr_Occurred()) throw_error();
  return Ref();
}

bool is_dunder(PyObject* name) {
  return PyUnicode_GET_LENGTH(name) >= 2 && PyUnicode_READ_CHAR(name, 0) == '_' &&
         PyUnicode_READ_CHAR(name, 1) == '_';
}

// The number a dict's every change replaces. Deprecated for extensions since 3.12 (the
// interpreter's own caches moved to other means), but kept up to date through 3.13.
std::uint64_t dict_version(PyObject* dict) noexcept {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

// A plain module's dict, where its non-dunder attributes are found; null for anything else.
PyObject* plain_module_dict(PyObject* module, PyObject* name) {
  if (!Py_IS_TYPE(module, &PyModule_Type) || is_dunder(name)) return nullptr;
  return PyModule_GetDict(module);
}

}  // namespace

Ref import(const char* module) {
  PyObject* name = module_name(module);
  if (Ref loaded = loaded_module(name)) return loaded;
  return check(PyImport_Import(name));
}

Ref import_attribute(const char* module, PyObject* name) {
  PyObject* module_text = module_name(module);
  if (Ref loaded = loaded_module(module_text)) {
    // A plain module's attributes are its dict's items, but for the dunder names that its type
    // defines; a name missing there still goes through the full look-up, for a module __getattr__.
    if (PyObject* dict = plain_module_dict(loaded.get(), name)) {
      if (PyObject* attribute = PyDict_GetItemWithError(dict, name)) return Ref::share(attribute);
      if (PyErr_Occurred()) throw_error();
    }
    if (PyObject* attribute = PyObject_GetAttr(loaded.get(), name)) return Ref::steal(attribute);
    PyErr_Clear();
  }
  Ref imported = check(PyImport_Import(module_text));
  return getattr(imported.get(), name);
}

Ref ModuleAttribute::get() {
  PyObject* modules = PyImport_GetModuleDict();
  if (value_ && modules_.is(modules) && dict_version(modules) == modules_version_ &&
      dict_version(module_dict_.get()) == module_dict_version_) {
    return value_;
  }
  value_.reset();
  Ref value = import_attribute(module_, name_);
  remember(value);
  return value;
}

void ModuleAttribute::remember(const Ref& value) {
  PyObject* modules = PyImport_GetModuleDict();
  if (!PyDict_CheckExact(modules)) return;
  // Read before the look-ups that confirm where the value came from: a key's __eq__ run by them
  // could change either dict, and then the versions no longer match and nothing is kept.
  const std::uint64_t modules_version = dict_version(modules);
  PyObject* module = PyDict_GetItemWithError(modules, module_name(module_));
  PyObject* dict = module != nullptr ? plain_module_dict(module, name_) : nullptr;
  if (dict == nullptr) {
    PyErr_Clear();
    return;
  }
  const std::uint64_t dict_version_then = dict_version(dict);
  if (PyDict_GetItemWithError(dict, name_) != value.get()) {
    PyErr_Clear();
    return;
  }
  if (dict_version(modules) != modules_version || dict_version(dict) != dict_version_then) return;
  modules_ = Ref::share(modules);
  modules_version_ = modules_version;
  module_dict_ = Ref::share(dict);
  module_dict_version_ = dict_version_then;
  value_ = value;
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
  return check(
      PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()), args.size(), nullptr));
}

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwargs) {
  Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(args.size())));
  Py_ssize_t index = 0;
  for (PyObject* arg : args) PyTuple_SET_ITEM(tuple.get(), index++, Ref::share(arg).release());
  return check(PyObject_Call(callable, tuple.get(), kwargs));
}

Borrowed dict_lookup(PyObject* dict, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(dict, key);
  if (value == nullptr && PyErr_Occurred()) throw_error();
  return Borrowed(value);
}

void dict_set(PyObject* dict, PyObject* key, PyObject* value) {
  check_status(PyDict_SetItem(dict, key, value));
}

Ref str_or_placeholder(PyObject* object) {
  if (PyObject* text = PyObject_Str(object)) return Ref::steal(text);
  PyErr_WriteUnraisable(object);
  const char* full = Py_TYPE(object)->tp_name;
  const char* dot = std::strrchr(full, '.');
  std::string name = dot != nullptr ? dot + 1 : full;
  std::string placeholder = "<unprintable " + name + " object>";
  PyObject* text = PyUnicode_DecodeUTF8(placeholder.data(),
                                        static_cast<Py_ssize_t>(placeholder.size()), "strict");
  if (text != nullptr) return Ref::steal(text);
  PyErr_Clear();
  return new_text("<unprintable object>");
}

}  // namespace vexo::py
