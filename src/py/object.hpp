// Small helpers over the object protocol that throw `Error` instead of returning NULL.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "py/convert.hpp"
#include "py/names.hpp"

namespace vexo::py {

inline Ref getattr(PyObject* object, PyObject* name) {
  return check(PyObject_GetAttr(object, name));
}
inline Ref getitem(PyObject* object, PyObject* key) { return check(PyObject_GetItem(object, key)); }
// Imports a module by name; one already in sys.modules is taken from there without going
// through the import machinery, which costs microseconds even for a loaded module. `module` is a
// string literal.
Ref import(const char* module);
// import(module).name. A module can already be in sys.modules while another thread is still
// running its code; when the attribute is not there yet, the full import waits for that thread.
Ref import_attribute(const char* module, PyObject* name);

// import_attribute(module, name) for an attribute that must be looked up at every use (a program
// may replace it or its module at any time), answered from the last look-up while neither
// sys.modules nor the module's dict has changed since: every change to a dict gives it a new
// version number, so two unchanged versions mean both look-ups would find what they found then.
// Only an attribute found in a plain module's dict is remembered. Guarded by the interpreter lock.
class ModuleAttribute {
 public:
  ModuleAttribute(const char* module, PyObject* name) noexcept : module_(module), name_(name) {}

  Ref get();

 private:
  void remember(const Ref& value);

  const char* module_;
  PyObject* name_;
  Ref modules_;
  std::uint64_t modules_version_ = 0;
  Ref module_dict_;
  std::uint64_t module_dict_version_ = 0;
  Ref value_;
};

// Calls with positional arguments only.
Ref call(PyObject* callable, std::initializer_list<PyObject*> args);
// Calls with positional arguments and a keyword dict (which may be null).
Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwargs);

// A dict's own lookup: a null Borrowed when absent; raises only when hashing or comparing does.
Borrowed dict_lookup(PyObject* dict, PyObject* key);
void dict_set(PyObject* dict, PyObject* key, PyObject* value);
inline void dict_set(PyObject* dict, PyObject* key, const Ref& value) {
  dict_set(dict, key, value.get());
}

// str(object), or "<unprintable T object>" after reporting the failure as unraisable.
Ref str_or_placeholder(PyObject* object);

}  // namespace vexo::py
