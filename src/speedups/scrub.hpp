// Secrets kept out of dumps: the compiled side of vexo.values.scrub, whose rules it takes.
//
// A name is checked in plain code, its answer kept per name object; a text goes to the package's
// expressions only when it holds a character that every secret shape needs, or when the project
// has patterns of its own.
#pragma once

#include "py/ref.hpp"

namespace vexo::speedups::scrub {

// Whether scrubbing is on (the default).
bool enabled() noexcept;

// Whether values under this name are scrubbed: an exact str holding a secret's name.
bool secret_name(PyObject* name);

// The text standing for a scrubbed value: "[scrubbed: type, N unit]" or "[scrubbed: type]".
py::Ref marker(PyObject* value);

// Whether the text's first `size` characters may hold a secret shape: false says that
// scrubbed_text would give them back unchanged, without asking the package.
bool needs_scrubbing(PyObject* text, Py_ssize_t size) noexcept;

// The text with its secret shapes replaced (the same object when it holds none).
py::Ref scrubbed_text(PyObject* text);

// set_scrub_rules(enabled, names, scrub_text, always): the package's rules, from configure().
PyObject* set_rules(PyObject* module, PyObject* const* args, Py_ssize_t count);
// scrub_text(text): scrubbed_text for the package.
PyObject* scrub_text(PyObject* module, PyObject* text);

}  // namespace vexo::speedups::scrub
