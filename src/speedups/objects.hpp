// What a safe dump knows of objects, read without running any code of the program: the compiled
// form of vexo.values.safe, making the same choices in the same order. The lists of known types
// are read from that module once, at import.
#pragma once

#include <memory_resource>
#include <utility>
#include <vector>

#include "py/ref.hpp"

namespace vexo::speedups::objects {

void init();

// The key the type's qualified name has in an object's map.
PyObject* class_key() noexcept;

bool is_enum_type(PyTypeObject* cls);
// "Class.NAME" for an enum member; a null Ref when the member keeps no name.
py::Ref enum_text(PyObject* value);
// The text of a value of a known type (numbers, functions, classes, modules, dates...); a null Ref
// for the other objects.
py::Ref known_text(PyObject* value);

// How values of the type are shown by their own rules: as their fields, whatever they hold
// (none of the kinds above: enum, scalar or container subclass, known type), and among those, as
// their class alone when they can have no field (no slot, no instance dict, not an exception).
enum class Shown : unsigned char { kOther, kFields, kClassOnly };
Shown shown_as(PyTypeObject* cls);
inline bool shown_as_fields(PyTypeObject* cls) { return shown_as(cls) != Shown::kOther; }

// An exception's args, then the instance dict's items, then the filled slots of the object's
// Python classes, from the most derived, appended to `found`; and the qualified name of its type.
using Field = std::pair<py::Ref, py::Ref>;
using Fields = std::pmr::vector<Field>;
py::Ref fields(PyObject* value, Fields& found);

// The text that stands for a map key of any type other than the plain scalars.
py::Ref key_text(PyObject* key);

}  // namespace vexo::speedups::objects
