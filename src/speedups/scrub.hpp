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

// The answer for an exact str, kept by object.
struct Decision {
  PyObject* text = nullptr;  // held, so that its address names no other object while kept
  bool yes = false;
};
using Decisions = std::array<Decision, 1024>;

inline Decision& place_of(Decisions& decisions, PyObject* text) noexcept {
  return decisions[(reinterpret_cast<std::uintptr_t>(text) >> 4) % decisions.size()];
}

// Texts longer than this are not kept by object: the answers keep no large text alive.
inline constexpr Py_ssize_t kKeptText = 256;

// The first characters of a text that the package's expressions left unchanged, by a digest of
// those characters: a long text read at every event (a parser's input, a document) goes to the
// expressions once, and no text is held.
struct CleanWindow {
  std::uint64_t digest = 0;
  Py_ssize_t size = -1;
};
using CleanWindows = std::array<CleanWindow, 256>;

// What is read for every name and text, inline: whether scrubbing is on, whether every text
// goes to the package (the project has patterns), and the answers for recent names and texts by
// object (a dict's keys, a frame's names and an object's texts are mostly the same few objects
// from one event to the next).
struct Hot {
  bool enabled = false;  // until the package sets its rules
  bool always = false;
  Decisions names{};
  Decisions texts{};  // whether a text kept by object may hold a secret
  CleanWindows clean{};
};
inline Hot hot;

bool decide_name(PyObject* name);
bool decide_text(PyObject* text);
std::uint64_t window_digest(PyObject* text, Py_ssize_t size) noexcept;
inline bool known_clean(PyObject* text, Py_ssize_t size) noexcept {
  const std::uint64_t digest = window_digest(text, size);
  const CleanWindow& window = hot.clean[digest % hot.clean.size()];
  return window.size == size && window.digest == digest;
}
bool may_hold_secret(PyObject* text, Py_ssize_t size) noexcept;

}  // namespace detail

// Whether scrubbing is on (the default).
inline bool enabled() noexcept { return detail::hot.enabled; }

// Whether values under this name are scrubbed: an exact str holding a secret's name.
inline bool secret_name(PyObject* name) {
  if (!detail::hot.enabled || !PyUnicode_CheckExact(name)) return false;
  const detail::Decision& known = detail::place_of(detail::hot.names, name);
  return known.text == name ? known.yes : detail::decide_name(name);
}

// The text standing for a scrubbed value: "[scrubbed: type, N unit]" or "[scrubbed: type]".
py::Ref marker(PyObject* value);

// Whether the text's first `size` characters may hold a secret shape: false says that
// scrubbed_text would give them back unchanged, without asking the package.
// A text the expressions left unchanged is not asked about again until the rules change.
inline bool needs_scrubbing(PyObject* text, Py_ssize_t size) {
  if (!detail::hot.enabled) return false;
  if (size > detail::kKeptText || size != PyUnicode_GET_LENGTH(text) ||
      !PyUnicode_CheckExact(text)) {
    return (detail::hot.always || detail::may_hold_secret(text, size)) &&
           !detail::known_clean(text, size);
  }
  const detail::Decision& known = detail::place_of(detail::hot.texts, text);
  return known.text == text ? known.yes : detail::decide_text(text);
}

// The text with its secret shapes replaced (the same object when it holds none).
py::Ref scrubbed_text(PyObject* text);

// set_scrub_rules(enabled, names, scrub_text, always): the package's rules, from configure().
PyObject* set_rules(PyObject* module, PyObject* const* args, Py_ssize_t count);
// scrub_text(text): scrubbed_text for the package.
PyObject* scrub_text(PyObject* module, PyObject* text);

}  // namespace vexo::speedups::scrub
