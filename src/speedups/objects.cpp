#include "speedups/objects.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "py/error.hpp"
#include "speedups/texts.hpp"

namespace vexo::speedups::objects {

namespace {

// Kept for the life of the process, like the interned names.
struct Known {
  PyTypeObject* enum_type = nullptr;
  std::vector<PyTypeObject*> c_repr_types;
  PyObject* standard_repr_names = nullptr;
  PyObject* zoned_names = nullptr;
  PyObject* standard_zone_names = nullptr;
  Py_ssize_t plain_key_depth = 0;
  PyObject* class_key = nullptr;
  PyObject* dict_name = nullptr;
  PyObject* enum_name = nullptr;
  PyObject* module_name = nullptr;
  PyObject* module_key = nullptr;
  PyObject* args = nullptr;
  PyObject* tzinfo = nullptr;
};
Known known;

// What a safe dump needs of a type, found by walking its MRO, kept while the type is unchanged:
// any change to a class or its bases gives it a new version tag, except (on some interpreters) a
// new __qualname__, so the name's parts are compared too.
struct TypeFacts {
  PyTypeObject* type = nullptr;
  unsigned int version = 0;
  py::Ref qualname;  // of a Python class: its __qualname__ and __module__ when found
  py::Ref module;
  Shown shown = Shown::kOther;
  py::Ref name;
  std::vector<Field> slots;  // name and member descriptor of each slot, in the order found
};
constexpr std::size_t kCachedTypes = 256;

PyObject* interned(const char* text) {
  return py::check(PyUnicode_InternFromString(text)).release();
}

PyObject* attribute(PyObject* module, const char* name) {
  return py::check(PyObject_GetAttrString(module, name)).release();
}

bool contains(PyObject* set, PyObject* text) {
  return py::check_status(PySet_Contains(set, text)) == 1;
}

bool is_heap(PyTypeObject* cls) noexcept { return (cls->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0; }

// A descriptor's __get__; a null Ref when it raised an Exception.
py::Ref got(PyObject* descriptor, PyObject* value, PyTypeObject* cls) {
  PyObject* found =
      Py_TYPE(descriptor)->tp_descr_get(descriptor, value, reinterpret_cast<PyObject*>(cls));
  if (found != nullptr) return py::Ref::steal(found);
  py::Error error = py::Error::fetch();
  if (!error.matches(PyExc_Exception)) throw error;
  return py::Ref();
}

// The instance dict through the interpreter's own slot; a null Ref without one.
py::Ref instance_dict(PyObject* value) {
  PyTypeObject* cls = Py_TYPE(value);
  py::Ref slot = py::Ref::share(_PyType_Lookup(cls, known.dict_name));
  if (!slot || !Py_IS_TYPE(slot.get(), &PyGetSetDescr_Type)) return py::Ref();
  PyTypeObject* owner = PyDescr_TYPE(slot.get());
  if (!is_heap(owner) && owner != reinterpret_cast<PyTypeObject*>(PyExc_BaseException)) {
    return py::Ref();  // an extension type's own accessor, which may run anything
  }
  py::Ref found = got(slot.get(), value, cls);
  if (!found || !PyDict_Check(found.get())) return py::Ref();
  return found;
}

bool plain_repr(PyObject* value, Py_ssize_t depth) {
  PyTypeObject* cls = Py_TYPE(value);
  if (value == Py_None || cls == &PyBool_Type || cls == &PyLong_Type || cls == &PyFloat_Type ||
      cls == &PyComplex_Type || cls == &PyUnicode_Type || cls == &PyBytes_Type) {
    return true;
  }
  if (depth >= known.plain_key_depth) return false;
  if (cls == &PyTuple_Type) {
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(value); ++index) {
      if (!plain_repr(PyTuple_GET_ITEM(value, index), depth + 1)) return false;
    }
    return true;
  }
  if (cls == &PyFrozenSet_Type) {
    py::Ref iterator = py::check(PyObject_GetIter(value));
    while (PyObject* item = PyIter_Next(iterator.get())) {
      py::Ref held = py::Ref::steal(item);
      if (!plain_repr(item, depth + 1)) return false;
    }
    if (PyErr_Occurred()) py::throw_error();
    return true;
  }
  return false;
}

py::Ref safe_repr(PyObject* value) {
  bool failed = false;
  return repr_text(value, failed);
}

py::Ref module_text(PyObject* module) {
  PyObject* attributes = PyModule_GetDict(module);
  PyObject* name = nullptr;
  if (attributes != nullptr && PyDict_CheckExact(attributes)) {
    name = PyDict_GetItemWithError(attributes, known.module_name);
    if (name == nullptr && PyErr_Occurred()) py::throw_error();
  }
  if (name == nullptr || !PyUnicode_CheckExact(name)) {
    return py::check(PyUnicode_FromString("<module>"));
  }
  return py::check(PyUnicode_FromFormat("<module '%U'>", name));
}

// The function's qualified name as an exact str.
py::Ref qualname(PyObject* function) {
  py::Ref name = py::Ref::share(reinterpret_cast<PyFunctionObject*>(function)->func_qualname);
  if (PyUnicode_CheckExact(name.get())) return name;
  return py::check(PyUnicode_Type.tp_str(name.get()));
}

py::Ref method_text(PyObject* method) {
  PyObject* function = PyMethod_GET_FUNCTION(method);
  if (!Py_IS_TYPE(function, &PyFunction_Type)) {
    return py::check(PyUnicode_FromString("<bound method>"));
  }
  return py::check(PyUnicode_FromFormat("<bound method %U>", qualname(function).get()));
}

// Whether a date or time shows a time zone of its own type, whose text may run anything.
bool foreign_zone(PyObject* value) {
  py::Ref zone = py::check(PyObject_GetAttr(value, known.tzinfo));
  if (zone.get() == Py_None) return false;
  return !contains(known.standard_zone_names, type_name(zone.get()).get());
}

}  // namespace

bool is_enum_type(PyTypeObject* cls) { return PyType_IsSubtype(cls, known.enum_type) != 0; }

namespace {

// The type's version tag, or 0 while it has no valid one.
unsigned int version_of(PyTypeObject* cls) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  if (!PyType_HasFeature(cls, Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
#endif
  return cls->tp_version_tag;
}

// Whether known_text() gives a text for values of the type (at least for some of them).
bool is_known_type(PyTypeObject* cls, PyObject* name) {
  if (std::find(known.c_repr_types.begin(), known.c_repr_types.end(), cls) !=
      known.c_repr_types.end()) {
    return true;
  }
  return PyType_IsSubtype(cls, &PyType_Type) || PyType_IsSubtype(cls, &PyModule_Type) ||
         cls == &PyFunction_Type || cls == &PyMethod_Type ||
         contains(known.standard_repr_names, name);
}

bool has_special_base(PyTypeObject* cls) {
  static PyTypeObject* const bases[] = {
      &PyUnicode_Type, &PyLong_Type, &PyFloat_Type, &PyBytes_Type, &PyByteArray_Type,
      &PyDict_Type,    &PyList_Type, &PyTuple_Type, &PySet_Type,   &PyFrozenSet_Type};
  return is_enum_type(cls) ||
         std::any_of(std::begin(bases), std::end(bases),
                     [cls](PyTypeObject* base) { return PyType_IsSubtype(cls, base) != 0; });
}

// A Python class's __qualname__ and __module__ objects (borrowed; null for other types).
std::pair<PyObject*, PyObject*> name_parts(PyTypeObject* cls) {
  if (!is_heap(cls) || cls->tp_dict == nullptr) return {nullptr, nullptr};
  PyObject* module = PyDict_GetItemWithError(cls->tp_dict, known.module_key);
  if (module == nullptr && PyErr_Occurred()) py::throw_error();
  return {reinterpret_cast<PyHeapTypeObject*>(cls)->ht_qualname, module};
}

// Whether objects of the type may have fields other than slots: an exception's args, or an
// instance dict read through the interpreter's own slot (as instance_dict() reads it).
bool may_have_fields(PyTypeObject* cls) {
  if (PyType_IsSubtype(cls, reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) return true;
  PyObject* slot = _PyType_Lookup(cls, known.dict_name);
  if (slot == nullptr || !Py_IS_TYPE(slot, &PyGetSetDescr_Type)) return false;
  PyTypeObject* owner = PyDescr_TYPE(slot);
  return is_heap(owner) || owner == reinterpret_cast<PyTypeObject*>(PyExc_BaseException);
}

TypeFacts find_facts(PyTypeObject* cls, unsigned int version) {
  TypeFacts facts;
  auto [qualname, module] = name_parts(cls);
  facts.qualname = py::Ref::share(qualname);
  facts.module = py::Ref::share(module);
  facts.name = class_name(reinterpret_cast<PyObject*>(cls));
  const bool as_fields = !has_special_base(cls) && !is_known_type(cls, facts.name.get());
  PyObject* mro = cls->tp_mro;
  for (Py_ssize_t index = 0; mro != nullptr && index < PyTuple_GET_SIZE(mro); ++index) {
    auto* klass = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, index));
    if (!is_heap(klass) || klass->tp_dict == nullptr) continue;
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* slot = nullptr;
    while (PyDict_Next(klass->tp_dict, &position, &name, &slot)) {
      if (Py_IS_TYPE(slot, &PyMemberDescr_Type)) {
        facts.slots.emplace_back(py::Ref::share(name), py::Ref::share(slot));
      }
    }
  }
  if (as_fields) {
    facts.shown = facts.slots.empty() && !may_have_fields(cls) ? Shown::kClassOnly : Shown::kFields;
  }
  facts.type = cls;
  facts.version = version;
  return facts;
}

// Never freed: static destructors run after the interpreter is gone.
TypeFacts* const cache = new TypeFacts[kCachedTypes];

// The cache entry that holds the type's facts, if any does.
TypeFacts& slot_of(PyTypeObject* cls) {
  return cache[(reinterpret_cast<std::uintptr_t>(cls) >> 4) % kCachedTypes];
}

// The cached facts of the type while they still hold, else null.
const TypeFacts* cached_facts(PyTypeObject* cls) {
  // The look-up gives the type a version tag when it has none.
  _PyType_Lookup(cls, known.dict_name);
  unsigned int version = version_of(cls);
  if (version == 0) return nullptr;
  const TypeFacts& cached = slot_of(cls);
  if (cached.type == cls && cached.version == version &&
      name_parts(cls) == std::pair(cached.qualname.get(), cached.module.get())) {
    return &cached;
  }
  return nullptr;
}

// The facts of a type the cache does not hold, stored there while the type has a version tag.
// Found first and stored after, as a whole: finding them makes objects, which may let a
// finalizer dump other values.
TypeFacts found_facts(PyTypeObject* cls) {
  unsigned int version = version_of(cls);
  TypeFacts found = find_facts(cls, version);
  if (version != 0) slot_of(cls) = found;
  return found;
}

// The facts of the type: a copy from the cache when it still holds them.
TypeFacts facts_of(PyTypeObject* cls) {
  if (const TypeFacts* cached = cached_facts(cls)) return *cached;
  return found_facts(cls);
}

}  // namespace

void init() {
  if (known.class_key != nullptr) return;
  py::Ref enum_module = py::check(PyImport_ImportModule("enum"));
  known.enum_type = reinterpret_cast<PyTypeObject*>(attribute(enum_module.get(), "Enum"));
  py::Ref module = py::check(PyImport_ImportModule("vexo.values.safe"));
  py::Ref ids = py::Ref::steal(attribute(module.get(), "C_REPR_TYPE_IDS"));
  py::Ref iterator = py::check(PyObject_GetIter(ids.get()));
  while (PyObject* id = PyIter_Next(iterator.get())) {
    py::Ref held = py::Ref::steal(id);
    known.c_repr_types.push_back(static_cast<PyTypeObject*>(PyLong_AsVoidPtr(id)));
  }
  if (PyErr_Occurred()) py::throw_error();
  known.standard_repr_names = attribute(module.get(), "STANDARD_REPR_NAMES");
  known.zoned_names = attribute(module.get(), "ZONED_NAMES");
  known.standard_zone_names = attribute(module.get(), "STANDARD_ZONE_NAMES");
  py::Ref depth = py::Ref::steal(attribute(module.get(), "PLAIN_KEY_DEPTH"));
  known.plain_key_depth = PyLong_AsSsize_t(depth.get());
  if (known.plain_key_depth == -1 && PyErr_Occurred()) py::throw_error();
  known.dict_name = interned("__dict__");
  known.enum_name = interned("_name_");
  known.module_name = interned("__name__");
  known.module_key = interned("__module__");
  known.args = interned("args");
  known.tzinfo = interned("tzinfo");
  known.class_key = interned("__class__");
}

PyObject* class_key() noexcept { return known.class_key; }

py::Ref enum_text(PyObject* value) {
  py::Ref attributes = instance_dict(value);
  if (!attributes) return py::Ref();
  PyObject* name = PyDict_GetItemWithError(attributes.get(), known.enum_name);
  if (name == nullptr) {
    if (PyErr_Occurred()) py::throw_error();
    return py::Ref();
  }
  if (!PyUnicode_CheckExact(name)) return py::Ref();
  py::Ref held = py::Ref::share(name);
  py::Ref cls = type_name(value);
  return py::check(PyUnicode_FromFormat("%U.%U", cls.get(), name));
}

py::Ref known_text(PyObject* value) {
  PyTypeObject* cls = Py_TYPE(value);
  if (std::find(known.c_repr_types.begin(), known.c_repr_types.end(), cls) !=
      known.c_repr_types.end()) {
    return safe_repr(value);
  }
  if (PyType_IsSubtype(cls, &PyType_Type)) {
    py::Ref name = class_name(value);
    return py::check(PyUnicode_FromFormat("<class '%U'>", name.get()));
  }
  if (PyType_IsSubtype(cls, &PyModule_Type)) return module_text(value);
  if (cls == &PyFunction_Type) {
    return py::check(PyUnicode_FromFormat("<function %U>", qualname(value).get()));
  }
  if (cls == &PyMethod_Type) return method_text(value);
  py::Ref name = type_name(value);
  if (!contains(known.standard_repr_names, name.get())) return py::Ref();
  if (contains(known.zoned_names, name.get()) && foreign_zone(value)) return py::Ref();
  return safe_repr(value);
}

Shown shown_as(PyTypeObject* cls) {
  // Read in place: nothing runs between the look-up and the read.
  if (const TypeFacts* cached = cached_facts(cls)) return cached->shown;
  return found_facts(cls).shown;
}

py::Ref fields(PyObject* value, Fields& found) {
  PyTypeObject* cls = Py_TYPE(value);
  TypeFacts facts = facts_of(cls);
  if (PyType_IsSubtype(cls, reinterpret_cast<PyTypeObject*>(PyExc_BaseException))) {
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(value)->args;
    found.emplace_back(py::Ref::share(known.args), py::Ref::share(args ? args : Py_None));
  }
  if (py::Ref attributes = instance_dict(value)) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    while (PyDict_Next(attributes.get(), &position, &key, &item)) {
      found.emplace_back(py::Ref::share(key), py::Ref::share(item));
    }
  }
  for (const auto& [name, slot] : facts.slots) {
    if (py::Ref item = got(slot.get(), value, cls)) found.emplace_back(name, std::move(item));
  }
  return facts.name;
}

py::Ref key_text(PyObject* key) {
  if (plain_repr(key, 0)) return safe_repr(key);
  PyTypeObject* cls = Py_TYPE(key);
  if (is_enum_type(cls)) {
    if (py::Ref text = enum_text(key)) return text;
  }
  if (PyUnicode_Check(key)) return py::check(PyUnicode_Type.tp_str(key));
  if (PyLong_Check(key)) return int_text(key);
  if (PyFloat_Check(key)) return py::check(PyFloat_Type.tp_repr(key));
  if (PyBytes_Check(key)) return py::check(PyBytes_Type.tp_repr(key));
  if (py::Ref text = known_text(key)) return text;
  py::Ref name = type_name(key);
  return py::check(PyUnicode_FromFormat("<%U>", name.get()));
}

}  // namespace vexo::speedups::objects
