// The texts a dump writes in place of what it cannot show as itself. They are made the way the
// package's Python walk makes them, f-string formatting included, so both give the same bytes.
#pragma once

#include "py/ref.hpp"

namespace vexo::speedups {

// Reads the type's own __qualname__ and __module__ descriptors; called once at import.
void init_texts();

// The "…" that ends a cut text and keys a cut map's marker entry.
PyObject* cut_mark() noexcept;

// The qualified name of the value's type, from the type object's own slots only: "module.qualname"
// outside builtins and __main__, the bare qualname there, "object" when even that fails.
py::Ref type_name(PyObject* value);
// The same for a class itself.
py::Ref class_name(PyObject* cls);

py::Ref nested_too_deep_text(PyObject* value);
py::Ref cycle_text(PyObject* value);
py::Ref unreadable_text(PyObject* value, PyObject* error);
py::Ref repr_failed_text(PyObject* value, PyObject* error);
py::Ref unserializable_text(PyObject* value, PyObject* error);

// repr(value) as an exact str, or (`failed`) the text naming its failure. A BaseException that is
// not an Exception goes on.
py::Ref repr_text(PyObject* value, bool& failed);

// An int outside the 64-bit forms: its decimal text, or "<int of N bits>" past the size whose text
// is slow to make (the interpreter's own digit limit may still refuse the decimal text).
py::Ref int_text(PyObject* value);
// text[:limit - 1] + "…", with the slice's rules for a limit of 0.
py::Ref cut_text(PyObject* text, Py_ssize_t limit);
// f"{data[:limit]!r}… ({size} bytes)".
py::Ref cut_bytes_text(const char* data, Py_ssize_t size, Py_ssize_t limit);

}  // namespace vexo::speedups
