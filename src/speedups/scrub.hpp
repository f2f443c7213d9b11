// Secrets kept out of dumps: the compiled side of vexo.values.scrub, whose rules it takes.
//
// A name is checked in plain code, its answer kept per name object; a text goes to the package's
// expressions only when it holds a character that every secret shape needs, or when the project
// has patterns of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "py/ref.hpp"

namespace vexo::speedups::scrub {

namespace detail {

struct Decision {
  PyObject* name = nullptr;  // held, so that its address names no other object while kept
  bool secret = false;
};
inline constexpr std::size_t kDecisions = 1024;

// What is read for every name and text, inline: whether scrubbing is on, whether every text
// goes to the package (the project has patterns), and the answer for recent names by object (a
// dict's keys and a frame's names are mostly the same few objects).
struct Hot {
  bool enabled = false;  // until the package sets its rules
  bool always = false;
  std::array<Decision, kDecisions> decisions{};
};
inline Hot hot;

bool decide(PyObject* name);
bool may_hold_secret(PyObject* text, Py_ssize_t size) noexcept;

}  // namespace detail

// Whether scrubbing is on (the default).
inline bool enabled() noexcept { return detail::hot.enabled; }

// Whether values under this name are scrubbed: an exact str holding a secret's name.
inline bool secret_name(PyObject* name) {
  if (!detail::hot.enabled || !PyUnicode_CheckExact(name)) return false;
  const detail::Decision& known =
      detail::hot.decisions[(reinterpret_cast<std::uintptr_t>(name) >> 4) % detail::kDecisions];
  return known.name == name ? known.secret : detail::decide(name);
}

// The text standing for a scrubbed value: "[scrubbed: type, N unit]" or "[scrubbed: type]".
py::Ref marker(PyObject* value);

// Whether the text's first `size` characters may hold a secret shape: false says that
// scrubbed_text would give them back unchanged, without asking the package.
inline bool needs_scrubbing(PyObject* text, Py_ssize_t size) noexcept {
  return detail::hot.enabled && (detail::hot.always || detail::may_hold_secret(text, size));
}

// The text with its secret shapes replaced (the same object when it holds none).
py::Ref scrubbed_text(PyObject* text);

// set_scrub_rules(enabled, names, scrub_text, always): the package's rules, from configure().
PyObject* set_rules(PyObject* module, PyObject* const* args, Py_ssize_t count);
// scrub_text(text): scrubbed_text for the package.
PyObject* scrub_text(PyObject* module, PyObject* text);

}  // namespace vexo::speedups::scrub
