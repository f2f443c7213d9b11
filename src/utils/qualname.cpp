// Code objects carry their qualified name from 3.11 on. Before that only the bare name is known,
// and the function is looked up where it is likely to be bound: the caller's locals, the frame's
// `self` or `cls`, the class body being run, or the module. A name that cannot be found is
// absent rather than an error, so that the frame's record is still written.
#include "utils/qualname.hpp"

#include <array>

#include "py/frames.hpp"
#include "py/object.hpp"
#include "utils/address_slot.hpp"

namespace vexo::qualname {

namespace {

PyFrameObject* as_frame(const py::Ref& frame) noexcept {
  return reinterpret_cast<PyFrameObject*>(frame.get());
}

// `mapping[key]` through the item protocol (frame locals are proxies from 3.13 on), or nothing on
// KeyError. Other failures are thrown.
std::optional<py::Ref> find_item(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) {
    // Same answer without creating a KeyError to drop.
    py::Borrowed value = py::dict_lookup(mapping, key);
    if (!value) return std::nullopt;
    return py::Ref::share(value);
  }
  if (PyObject* value = PyObject_GetItem(mapping, key)) return py::Ref::steal(value);
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) py::throw_error();
  PyErr_Clear();
  return std::nullopt;
}

// A look into one of the places that may hold the function. A failure other than KeyError means
// that the place cannot be searched, and the search ends without a name.
struct Probe {
  py::Ref value;  // set when the key is there
  bool gave_up = false;
};

Probe probe(PyObject* mapping, PyObject* key) {
  try {
    std::optional<py::Ref> value = find_item(mapping, key);
    return Probe{value ? std::move(*value) : py::Ref(), false};
  } catch (const py::Error&) {
    return Probe{py::Ref(), true};
  }
}

// The module name of code run with these globals; absent for code run with exec in a plain dict.
std::optional<py::Ref> module_name(PyFrameObject* frame) {
  py::Ref globals = py::frame_globals(frame);
  return find_item(globals.get(), py::names().__name__);
}

std::string join(PyObject* module, PyObject* qualname) {
  py::Ref module_text = py::str_or_placeholder(module);
  py::Ref qualname_text = py::str_or_placeholder(qualname);
  std::string_view head = py::text_view(module_text.get());
  std::string_view tail = py::text_view(qualname_text.get());
  std::string joined;
  joined.reserve(head.size() + 1 + tail.size());
  joined.append(head).append(1, '.').append(tail);
  return joined;
}

std::string join_function(PyObject* function) {
  py::Ref module = py::getattr(function, py::names().__module__);
  py::Ref qualname = py::getattr(function, py::names().__qualname__);
  return join(module.get(), qualname.get());
}

// `inspect.getattr_static(owner, name)`, or nothing when the owner has no such attribute (a
// nested function that uses the `self` or `cls` of its enclosing method).
std::optional<py::Ref> static_attribute(PyObject* getattr_static, PyObject* owner, PyObject* name) {
  PyObject* args[] = {owner, name};
  if (PyObject* found = PyObject_Vectorcall(getattr_static, args, 2, nullptr)) {
    return py::Ref::steal(found);
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) py::throw_error();
  PyErr_Clear();
  return std::nullopt;
}

// A property is found in place of its getter.
py::Ref unwrap_property(py::Ref function) {
  py::Ref property = py::import_attribute("builtins", py::names().property);
  if (py::check_status(PyObject_IsInstance(function.get(), property.get())) == 0) return function;
  return py::getattr(function.get(), py::names().fget);
}

// A classmethod or staticmethod object is named after the function it wraps: the ones the
// interpreter makes itself (__init_subclass__, __class_getitem__) carry no names of their own.
py::Ref unwrap_method_descriptor(py::Ref found) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(found.get()));
  if (type != reinterpret_cast<PyObject*>(&PyClassMethod_Type) &&
      type != reinterpret_cast<PyObject*>(&PyStaticMethod_Type)) {
    return found;
  }
  // Interned once, as the names of src/py/names.def (where `__func__` cannot be a member name).
  static PyObject* const func_name = PyUnicode_InternFromString("__func__");
  if (func_name == nullptr) throw py::Fatal("failed to make the name __func__");
  return py::getattr(found.get(), func_name);
}

std::optional<std::string> join_found(std::optional<py::Ref> function) {
  if (!function) return std::nullopt;
  return join_function(unwrap_method_descriptor(std::move(*function)).get());
}

std::optional<std::string> from_instance(PyObject* getattr_static, PyObject* self,
                                         PyObject* co_name) {
  std::optional<py::Ref> function = static_attribute(getattr_static, self, co_name);
  if (!function) return std::nullopt;
  return join_function(unwrap_method_descriptor(unwrap_property(std::move(*function))).get());
}

std::optional<std::string> from_class_body(PyFrameObject* frame, PyObject* qualname) {
  std::optional<py::Ref> module = module_name(frame);
  if (!module) return std::nullopt;
  return join(module->get(), qualname);
}

std::optional<std::string> from_module(PyFrameObject* frame) {
  std::optional<py::Ref> module = module_name(frame);
  if (!module) return std::nullopt;
  py::Ref text = py::str_or_placeholder(module->get());
  std::string name(py::text_view(text.get()));
  return name.append(".<module>");
}

#if PY_VERSION_HEX >= 0x030B0000
// The joined names of the code objects met lately, per code object and module name. Both are
// held, so that their addresses cannot be reused. Only a module name that is exactly str is
// remembered: str() of anything else may run code and answer differently each time. The code's
// co_qualname never changes.
class JoinedNames {
 public:
  std::string_view joined(PyObject* code, PyObject* module) {
    PyObject* qualname = reinterpret_cast<PyCodeObject*>(code)->co_qualname;
    if (!PyUnicode_CheckExact(module)) {
      uncached_ = join(module, qualname);
      return uncached_;
    }
    Entry& entry = entries_[address_slot::slot_of<kBits>(code)];
    if (entry.code.get() == code && entry.module.get() == module) return entry.joined;
    std::string joined = join(module, qualname);
    // Released once the entry is whole again: a released code object can run weakref callbacks.
    py::Ref released_code = std::move(entry.code);
    py::Ref released_module = std::move(entry.module);
    entry.code = py::Ref::share(code);
    entry.module = py::Ref::share(module);
    entry.joined = std::move(joined);
    return entry.joined;
  }

 private:
  struct Entry {
    py::Ref code;
    py::Ref module;
    std::string joined;
  };
  static constexpr unsigned kBits = 9;

  std::array<Entry, std::size_t{1} << kBits> entries_{};
  std::string uncached_;
};

// Never destroyed: the objects it holds would be released after the interpreter is gone.
JoinedNames& joined_names() {
  static JoinedNames& names = *new JoinedNames;
  return names;
}

std::optional<std::string_view> from_code_qualname(PyFrameObject* frame, PyObject* code) {
  std::optional<py::Ref> module = module_name(frame);
  if (!module) return std::nullopt;
  return joined_names().joined(code, module->get());
}
#endif

}  // namespace

std::optional<std::string> get_qualname_inner(PyFrameObject* frame, PyObject* co_name) {
  py::Ref caller = py::frame_back(frame);
  if (caller.is_none()) return std::nullopt;
  {
    py::Ref caller_locals = py::frame_locals_copy(as_frame(caller));
    Probe found = probe(caller_locals.get(), co_name);
    if (found.gave_up) return std::nullopt;
    if (found.value) return join_function(found.value.get());
  }

  py::Ref locals = py::frame_locals_copy(frame);
  py::Ref getattr_static = py::import_attribute("inspect", py::names().getattr_static);

  Probe self = probe(locals.get(), py::names().self);
  if (self.gave_up) return std::nullopt;
  if (self.value) return from_instance(getattr_static.get(), self.value.get(), co_name);

  Probe cls = probe(locals.get(), py::names().cls);
  if (cls.gave_up) return std::nullopt;
  if (cls.value && PyType_Check(cls.value.get())) {
    return join_found(static_attribute(getattr_static.get(), cls.value.get(), co_name));
  }

  Probe class_qualname = probe(locals.get(), py::names().__qualname__);
  if (class_qualname.gave_up) return std::nullopt;
  if (class_qualname.value) return from_class_body(frame, class_qualname.value.get());

  py::Ref globals = py::frame_globals(frame);
  return join_found(find_item(globals.get(), co_name));
}

std::optional<std::string> search_qualname(PyFrameObject* frame) {
  py::Ref code = py::frame_code(frame);
  PyObject* co_name = py::code_name(code.get());
  if (py::text_view(co_name) == "<module>") return from_module(frame);
  return get_qualname_inner(frame, co_name);
}

std::optional<std::string_view> qualname_of(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
  py::Ref code = py::frame_code(frame);
  return from_code_qualname(frame, code.get());
#else
  static std::string& found = *new std::string;
  std::optional<std::string> searched = search_qualname(frame);
  if (!searched) return std::nullopt;
  found = std::move(*searched);
  return found;
#endif
}

std::optional<std::string> get_qualname(PyFrameObject* frame) {
  std::optional<std::string_view> name = qualname_of(frame);
  if (!name) return std::nullopt;
  return std::string(*name);
}

}  // namespace vexo::qualname
