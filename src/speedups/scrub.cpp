#include "speedups/scrub.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "py/error.hpp"
#include "py/object.hpp"
#include "speedups/texts.hpp"

namespace vexo::speedups::scrub {

namespace {

// The rest of vexo.values.scrub's rules, as its configure() last set them (see detail::hot).
struct Rules {
  std::vector<std::string> names;  // normalised: lower case, without "-" and "_"
  PyObject* scrub_text = nullptr;  // the package's function for texts, held
};
Rules rules;

void forget_decisions() {
  for (detail::Decision& decision : detail::hot.names) Py_CLEAR(decision.text);
  for (detail::Decision& decision : detail::hot.texts) Py_CLEAR(decision.text);
  detail::hot.clean.fill({});
}

bool remember(detail::Decision& decision, PyObject* text, bool yes) {
  Py_INCREF(text);
  Py_XSETREF(decision.text, text);
  decision.yes = yes;
  return yes;
}

// Parts of names that hold a secret's name but name none (vexo.values.scrub._LOOK_ALIKES).
constexpr std::string_view kLookAlike = "tokeniz";
// Held as a whole word between separators (vexo.values.scrub._WORDS).
constexpr std::string_view kWord = "auth";

char lowered(Py_UCS4 code) {
  return static_cast<char>(code >= 'A' && code <= 'Z' ? code + 32 : code);
}

// A character appended as UTF-8, its ASCII letters in lower case: a part of such a text is a part
// of the characters.
void append_lowered(std::string& text, Py_UCS4 code) {
  if (code < 0x80) {
    text += lowered(code);
    return;
  }
  char bytes[4];
  std::size_t size = 0;
  if (code < 0x800) {
    bytes[size++] = static_cast<char>(0xC0 | (code >> 6));
  } else {
    if (code < 0x10000) {
      bytes[size++] = static_cast<char>(0xE0 | (code >> 12));
    } else {
      bytes[size++] = static_cast<char>(0xF0 | (code >> 18));
      bytes[size++] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    }
    bytes[size++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  }
  bytes[size++] = static_cast<char>(0x80 | (code & 0x3F));
  text.append(bytes, size);
}

// Python's str.replace(part, "").
std::string without(std::string_view text, std::string_view part) {
  std::string result;
  std::size_t from = 0;
  for (std::size_t found = text.find(part); found != std::string_view::npos;
       found = text.find(part, from)) {
    result.append(text.substr(from, found - from));
    from = found + part.size();
  }
  result.append(text.substr(from));
  return result;
}

bool has_word(std::string_view lower) {
  std::size_t start = 0;
  while (start <= lower.size()) {
    std::size_t end = lower.find_first_of("-_", start);
    if (end == std::string_view::npos) end = lower.size();
    if (lower.substr(start, end - start) == kWord) return true;
    start = end + 1;
  }
  return false;
}

bool is_secret_name(PyObject* name) {
  const int kind = PyUnicode_KIND(name);
  const void* data = PyUnicode_DATA(name);
  const Py_ssize_t size = PyUnicode_GET_LENGTH(name);
  std::string lower;
  std::string flat;
  lower.reserve(static_cast<std::size_t>(size));
  flat.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t index = 0; index < size; ++index) {
    Py_UCS4 code = PyUnicode_READ(kind, data, index);
    append_lowered(lower, code);
    if (code != '-' && code != '_') append_lowered(flat, code);
  }
  flat = without(flat, kLookAlike);
  for (const std::string& word : rules.names) {
    if (flat.find(word) != std::string::npos) return true;
  }
  return has_word(lower);
}

// The characters every secret shape holds one of: "=" (a pair), "@" (a URL's user info), a space
// or tab after "Bearer"/"Basic", "-" (a PEM block, GitLab and Slack keys), "_" (GitHub and
// Stripe keys), "A" (AWS and Google keys).
constexpr std::array<bool, 128> kAnchors = [] {
  std::array<bool, 128> anchors{};
  for (char code : std::string_view("=@ \t-_A")) anchors[static_cast<unsigned char>(code)] = true;
  return anchors;
}();

// Whether the text holds what every secret shape needs, around one of its anchors. Only texts
// that do go to the package's expressions, which decide: this answers yes more often than they
// do, never less.
template <typename Char>
bool holds_trigger(const Char* data, Py_ssize_t size) {
  auto starts = [data, size](Py_ssize_t at, std::string_view ascii) {
    if (at < 0 || at + static_cast<Py_ssize_t>(ascii.size()) > size) return false;
    for (std::size_t offset = 0; offset < ascii.size(); ++offset) {
      if (data[at + static_cast<Py_ssize_t>(offset)] != static_cast<unsigned char>(ascii[offset])) {
        return false;
      }
    }
    return true;
  };
  // Whether the characters before `end` are `ascii`.
  auto ends = [&starts](Py_ssize_t end, std::string_view ascii) {
    return starts(end - static_cast<Py_ssize_t>(ascii.size()), ascii);
  };
  for (Py_ssize_t at = 0; at < size; ++at) {
    const auto code = data[at];
    if (code >= 128 || !kAnchors[code]) continue;
    switch (code) {
      case '=':
      case '@':
        return true;
      case ' ':
      case '\t':
        if (ends(at, "earer") || ends(at, "asic")) return true;
        break;
      case '-':
        if (starts(at, "-----BEGIN") || ends(at, "glpat") || ends(at - 1, "xox")) return true;
        break;
      case '_':
        if (ends(at, "k") || ends(at - 1, "gh") || ends(at, "github")) return true;
        break;
      default:  // 'A'
        if (starts(at + 1, "KIA") || starts(at + 1, "SIA") || starts(at + 1, "Iza")) return true;
        break;
    }
  }
  return false;
}

// `read(data, size)` over the text's first `size` code points, in the width they are stored in.
template <typename Read>
auto read_code_points(PyObject* text, Py_ssize_t size, Read read) noexcept {
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      return read(PyUnicode_1BYTE_DATA(text), size);
    case PyUnicode_2BYTE_KIND:
      return read(PyUnicode_2BYTE_DATA(text), size);
    default:
      return read(PyUnicode_4BYTE_DATA(text), size);
  }
}

}  // namespace

bool detail::may_hold_secret(PyObject* text, Py_ssize_t size) noexcept {
  return read_code_points(
      text, size, [](const auto* data, Py_ssize_t count) { return holds_trigger(data, count); });
}

namespace {

struct Size {
  PyTypeObject* base;
  const char* unit;
};

}  // namespace

bool detail::decide_name(PyObject* name) {
  return remember(place_of(hot.names, name), name, is_secret_name(name));
}

bool detail::decide_text(PyObject* text) {
  return remember(place_of(hot.texts, text), text,
                  hot.always || may_hold_secret(text, PyUnicode_GET_LENGTH(text)));
}

namespace {

// FNV-1a over the code points, so that a window made of a text's first characters (which may
// be stored narrower) has the digest of those characters; started from this process's address
// of the table, which differs from run to run.
template <typename Char>
std::uint64_t digest_of(const Char* data, Py_ssize_t size) noexcept {
  std::uint64_t digest = 0xcbf29ce484222325ULL ^ reinterpret_cast<std::uintptr_t>(&detail::hot);
  for (Py_ssize_t at = 0; at < size; ++at) {
    digest = (digest ^ static_cast<std::uint32_t>(data[at])) * 0x100000001b3ULL;
  }
  return digest;
}

// The package left the text unchanged: a text kept by object is known clean by its object,
// another by the digest of its characters.
void note_unchanged(PyObject* text) {
  const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
  if (size <= detail::kKeptText && PyUnicode_CheckExact(text)) {
    remember(detail::place_of(detail::hot.texts, text), text, false);
    return;
  }
  const std::uint64_t digest = detail::window_digest(text, size);
  detail::hot.clean[digest % detail::hot.clean.size()] = {digest, size};
}

}  // namespace

std::uint64_t detail::window_digest(PyObject* text, Py_ssize_t size) noexcept {
  return read_code_points(
      text, size, [](const auto* data, Py_ssize_t count) { return digest_of(data, count); });
}

py::Ref marker(PyObject* value) {
  PyTypeObject* cls = Py_TYPE(value);
  py::Ref name = class_name(reinterpret_cast<PyObject*>(cls));
  // Sizes read from the built-in storage: no code of the program.
  if (PyType_IsSubtype(cls, &PyUnicode_Type)) {
    return py::check(
        PyUnicode_FromFormat("[scrubbed: %U, %zd chars]", name.get(), PyUnicode_GET_LENGTH(value)));
  }
  static const Size kSizes[] = {
      {&PyBytes_Type, "bytes"},     {&PyByteArray_Type, "bytes"}, {&PyDict_Type, "items"},
      {&PyList_Type, "items"},      {&PyTuple_Type, "items"},     {&PySet_Type, "items"},
      {&PyFrozenSet_Type, "items"},
  };
  for (const Size& size : kSizes) {
    if (!PyType_IsSubtype(cls, size.base)) continue;
    Py_ssize_t count = size.base == &PyBytes_Type       ? PyBytes_GET_SIZE(value)
                       : size.base == &PyByteArray_Type ? PyByteArray_GET_SIZE(value)
                       : size.base == &PyDict_Type      ? PyDict_GET_SIZE(value)
                       : size.base == &PyList_Type      ? PyList_GET_SIZE(value)
                       : size.base == &PyTuple_Type     ? PyTuple_GET_SIZE(value)
                                                        : PySet_GET_SIZE(value);
    return py::check(PyUnicode_FromFormat("[scrubbed: %U, %zd %s]", name.get(), count, size.unit));
  }
  return py::check(PyUnicode_FromFormat("[scrubbed: %U]", name.get()));
}

py::Ref scrubbed_text(PyObject* text) {
  if (rules.scrub_text == nullptr || !needs_scrubbing(text, PyUnicode_GET_LENGTH(text))) {
    return py::Ref::share(text);
  }
  // The package's expressions read an exact str: a subclass's characters, none of its methods.
  py::Ref exact =
      PyUnicode_CheckExact(text) ? py::Ref::share(text) : py::check(PyUnicode_Type.tp_str(text));
  py::Ref result = py::call(rules.scrub_text, {exact.get()});
  if (!PyUnicode_CheckExact(result.get())) return py::Ref::share(text);
  if (result.is(exact.get())) note_unchanged(text);
  return result;
}

PyObject* set_rules(PyObject*, PyObject* const* args, Py_ssize_t count) {
  return py::guard<PyObject*>(nullptr, [args, count]() -> PyObject* {
    if (count != 4 || !PyBool_Check(args[0]) || !PyTuple_Check(args[1]) ||
        !PyCallable_Check(args[2]) || !PyBool_Check(args[3])) {
      py::throw_error(PyExc_TypeError,
                      "set_scrub_rules() takes enabled, a tuple of names, scrub_text and always");
    }
    std::vector<std::string> names;
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(args[1]); ++index) {
      PyObject* name = PyTuple_GET_ITEM(args[1], index);
      if (!PyUnicode_CheckExact(name)) py::throw_error(PyExc_TypeError, "names are texts");
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
      if (utf8 == nullptr) py::throw_error();
      std::string word(utf8, static_cast<std::size_t>(size));
      for (char& code : word) code = lowered(static_cast<unsigned char>(code));
      names.push_back(std::move(word));
    }
    rules.names = std::move(names);
    Py_INCREF(args[2]);
    Py_XSETREF(rules.scrub_text, args[2]);
    detail::hot.enabled = args[0] == Py_True;
    detail::hot.always = args[3] == Py_True;
    forget_decisions();
    Py_RETURN_NONE;
  });
}

PyObject* scrub_text(PyObject*, PyObject* text) {
  return py::guard<PyObject*>(nullptr, [text]() -> PyObject* {
    if (!PyUnicode_Check(text)) py::throw_error(PyExc_TypeError, "scrub_text() takes a str");
    return scrubbed_text(text).release();
  });
}

}  // namespace vexo::speedups::scrub
