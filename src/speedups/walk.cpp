#include "speedups/walk.hpp"

#include <algorithm>
#include <charconv>
#include <string>
#include <utility>

#include "py/error.hpp"
#include "speedups/fingerprint.hpp"
#include "speedups/int_writer.hpp"
#include "speedups/objects.hpp"
#include "speedups/scrub.hpp"
#include "speedups/stack_guard.hpp"
#include "speedups/texts.hpp"

namespace vexo::speedups {

namespace {

[[noreturn]] void too_long() {
  throw PackFailed{py::Error::make(PyExc_ValueError, "value too large for MessagePack")};
}

// Whether a key is the text "…" that keys a cut map's marker entry (a key of another type, or a
// subclass of str, is written as a text made here, which is merged anyway).
bool is_cut_mark(PyObject* key) {
  return PyUnicode_CheckExact(key) && PyUnicode_GET_LENGTH(key) == 1 &&
         PyUnicode_READ_CHAR(key, 0) == 0x2026;
}

// No reference is shorter: its header, the array's, and a frame id of 30 characters.
constexpr std::size_t kShortestReference = 40;

// "N more", after `prefix`.
void write_more(Output& out, std::string_view prefix, Py_ssize_t more) {
  char digits[24];
  auto converted = std::to_chars(digits, digits + sizeof digits, more);
  std::string text(prefix);
  text.append(digits, converted.ptr).append(" more");
  write::str(out, text);
}

}  // namespace

class Walk::OpenScope {
 public:
  OpenScope(const OpenLevel*& open, PyObject* value)
      : open_(open), level_{value, open, open == nullptr ? 1 : open->count + 1} {
    open_ = &level_;
  }
  ~OpenScope() { open_ = level_.outer; }
  OpenScope(const OpenScope&) = delete;
  OpenScope& operator=(const OpenScope&) = delete;

  std::size_t outer_levels() const noexcept { return level_.count - 1; }

 private:
  const OpenLevel*& open_;
  OpenLevel level_;
};

void write_text(Output& out, PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PackFailed{py::Error::fetch()};
    PyErr_Clear();
    // Lone surrogates have no UTF-8 form; they stay visible as escapes.
    PyObject* escaped = PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace");
    if (escaped == nullptr) throw PackFailed{py::Error::fetch()};
    py::Ref held = py::Ref::steal(escaped);
    if (!write::fits(static_cast<std::size_t>(PyBytes_GET_SIZE(escaped)))) too_long();
    write::str(out,
               {PyBytes_AS_STRING(escaped), static_cast<std::size_t>(PyBytes_GET_SIZE(escaped))});
    return;
  }
  if (!write::fits(static_cast<std::size_t>(size))) too_long();
  write::str(out, {utf8, static_cast<std::size_t>(size)});
}

Walk::Walk(const Limits& limits, Output& out, const TracePlace* place) noexcept
    : limits_(&limits),
      out_(out),
      place_(place),
      nodes_left_(limits.max_nodes),
      frames_left_(python_frames_left()) {}

bool Walk::container_base(PyTypeObject* cls, Base& base) noexcept {
  static constexpr std::pair<PyTypeObject*, Base> kBases[] = {
      {&PyDict_Type, Base::kDict},           {&PyList_Type, Base::kList},
      {&PyTuple_Type, Base::kTuple},         {&PySet_Type, Base::kSet},
      {&PyFrozenSet_Type, Base::kFrozenSet},
  };
  for (const auto& [type, kind] : kBases) {
    if (PyType_IsSubtype(cls, type)) {
      base = kind;
      return true;
    }
  }
  return false;
}

void Walk::top(PyObject* value) {
  if (place_ == nullptr || (place_->locals && PyDict_CheckExact(value))) {
    return this->value(value, 0);
  }
  if (!remembered(nullptr, value, 0)) this->value(value, 0);
}

bool Walk::remembered(PyObject* name, PyObject* value, Py_ssize_t depth) {
  PyTypeObject* cls = Py_TYPE(value);
  // The values written as themselves before any object's rules (None's type would count as
  // shown by fields), told apart first: they are most locals, and the type's facts cost more.
  // An object shown as its class alone is not either: a reference to it, which names its class and
  // more, is never the shorter (an iterator of a generator expression's frame, say).
  if (value == Py_None || cls == &PyLong_Type || cls == &PyUnicode_Type || cls == &PyFloat_Type ||
      cls == &PyBool_Type || cls == &PyDict_Type || cls == &PyList_Type || cls == &PyTuple_Type ||
      cls == &PyBytes_Type || objects::shown_as(cls) != objects::Shown::kFields) {
    return false;
  }
  const bool is_self = name != nullptr && PyUnicode_CompareWithASCIIString(name, "self") == 0;
  const Limits& limits = is_self ? place_->self_limits : *limits_;
  const MemoKey key{value, cls, depth, is_self};
  std::optional<std::uint64_t> before = fingerprint(value, limits, depth);
  if (before) {
    if (auto reference = place_->memo.reference(key, *before)) {
      write::raw(out_, *reference);
      return true;
    }
  }
  const bool outer_ran_code = std::exchange(ran_code_, false);
  const std::size_t start = out_.size();
  within(limits, value, depth);
  const std::size_t written = out_.size() - start;
  const bool ran_code = ran_code_;
  ran_code_ = ran_code_ || outer_ran_code;
  if (place_->frame_id == nullptr || !before) return true;
  // A dump no longer than a reference to it is written again each time: no reference to it.
  std::string reference = written > kShortestReference ? reference_to(cls, name) : std::string();
  // Only code of the interpreter's or the standard library's, run for a text, can have let the
  // object change while it was written (nothing else the walk does runs code, or makes objects
  // that the garbage collector tracks).
  const bool longer = !reference.empty() && written > reference.size();
  if (longer && (!ran_code || fingerprint(value, limits, depth) == before)) {
    place_->memo.remember(key, *before, std::move(reference));
  } else {
    place_->memo.forget(key);
  }
  return true;
}

void Walk::within(const Limits& limits, PyObject* value, Py_ssize_t depth) {
  struct Restore {
    Walk& walk;
    const Limits* limits;
    Py_ssize_t left;
    Py_ssize_t start;
    ~Restore() {
      walk.nodes_left_ = left - (start - walk.nodes_left_);
      walk.limits_ = limits;
    }
  } restore{*this, limits_, nodes_left_, std::min(nodes_left_, limits.max_nodes)};
  limits_ = &limits;
  nodes_left_ = restore.start;
  this->value(value, depth);
}

// msgpack.ExtType(REFERENCE, msgpack.packb([class name, frame id, event, field, name])).
std::string Walk::reference_to(PyTypeObject* cls, PyObject* name) const {
  constexpr std::int8_t kReference = 1;  // vexo.serialize.REFERENCE
  Output place;
  write::array_header(place, 5);
  write_text(place, class_name(reinterpret_cast<PyObject*>(cls)).get());
  if (!write::fits(place_->frame_id->size())) too_long();
  write::str(place, *place_->frame_id);
  write_text(place, place_->event);
  write_text(place, place_->field);
  if (name == nullptr) {
    write::nil(place);
  } else {
    write_text(place, name);
  }
  Output reference;
  write::ext(reference, kReference, place.bytes(0, place.size()));
  auto bytes = reference.bytes(0, reference.size());
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void Walk::value(PyObject* value, Py_ssize_t depth) {
  PyTypeObject* cls = Py_TYPE(value);
  if (cls == &PyUnicode_Type) return text(value);
  if (value == Py_None) return write::nil(out_);
  if (cls == &PyBool_Type) return write::boolean(out_, value == Py_True);
  if (cls == &PyFloat_Type) return write::f64(out_, PyFloat_AS_DOUBLE(value));
  if (cls == &PyLong_Type) return integer(value);
  if (cls == &PyDict_Type) return container(value, Base::kDict, depth);
  if (cls == &PyList_Type) return container(value, Base::kList, depth);
  if (cls == &PyTuple_Type) return container(value, Base::kTuple, depth);
  if (cls == &PyBytes_Type) return binary(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
  if (cls == &PyByteArray_Type) return byte_array(value);
  if (limits_->safe) return safe_object(value, cls, depth);
  Base base;
  if (container_base(cls, base)) return container(value, base, depth);
  other(value);
}

void Walk::safe_object(PyObject* value, PyTypeObject* cls, Py_ssize_t depth) {
  if (objects::shown_as_fields(cls)) return container(value, Base::kObject, depth);
  if (objects::is_enum_type(cls)) {
    if (py::Ref shown = objects::enum_text(value)) return text(shown.get());
  }
  // Subclasses of the scalar types as their value.
  if (PyUnicode_Check(value)) return text(value);
  if (PyLong_Check(value)) return integer(value);
  if (PyFloat_Check(value)) return write::f64(out_, PyFloat_AS_DOUBLE(value));
  if (PyBytes_Check(value)) return binary(PyBytes_AS_STRING(value), PyBytes_GET_SIZE(value));
  if (PyByteArray_Check(value)) return byte_array(value);
  Base base;
  if (container_base(cls, base)) return container(value, base, depth);
  ran_code_ = true;  // a known type's text may come from its repr()
  if (py::Ref shown = objects::known_text(value)) return text(shown.get());
  container(value, Base::kObject, depth);
}

// Characters of a text read beyond the kept part, so that a secret the limit cuts is still
// recognised whole (vexo.values.scrub.SCRUB_MARGIN).
constexpr Py_ssize_t kScrubMargin = 256;

void Walk::text(PyObject* text) {
  if (scrub::enabled() && scrubbed_text(text)) return;
  if (limits_->max_text != Limits::kAll && PyUnicode_GET_LENGTH(text) > limits_->max_text) {
    write_text(out_, cut_text(text, limits_->max_text).get());
    return;
  }
  write_text(out_, text);
}

bool Walk::scrubbed_text(PyObject* text) {
  const Py_ssize_t limit = limits_->max_text;
  const Py_ssize_t size = PyUnicode_GET_LENGTH(text);
  const Py_ssize_t read = limit == Limits::kAll ? size : std::min(size, limit + kScrubMargin);
  // Most texts hold nothing a secret needs: they are written as without scrubbing.
  if (!scrub::needs_scrubbing(text, read)) return false;
  py::Ref window =
      read == size ? py::Ref::share(text) : py::check(PyUnicode_Substring(text, 0, read));
  py::Ref result = scrub::scrubbed_text(window.get());
  if (result.is(window.get())) return false;
  if (limit != Limits::kAll && (size > limit || PyUnicode_GET_LENGTH(result.get()) > limit)) {
    write_text(out_, cut_text(result.get(), limit).get());
  } else {
    write_text(out_, result.get());
  }
  return true;
}

void Walk::integer(PyObject* value) {
  if (!write_if_64_bits(out_, value)) write_text(out_, int_text(value).get());
}

void Walk::binary(const char* data, Py_ssize_t size) {
  if (limits_->max_bytes != Limits::kAll && size > limits_->max_bytes) {
    write_text(out_, cut_bytes_text(data, size, limits_->max_bytes).get());
    return;
  }
  if (!write::fits(static_cast<std::size_t>(size))) too_long();
  write::bin(out_, {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)});
}

void Walk::byte_array(PyObject* value) {
  Py_ssize_t size = PyByteArray_GET_SIZE(value);
  const char* data = PyByteArray_AS_STRING(value);
  // The cut text copies only the bytes it keeps, before anything that could run code of the
  // program: the array may hold megabytes.
  if (limits_->max_bytes != Limits::kAll && size > limits_->max_bytes) {
    write_text(out_, cut_bytes_text(data, size, limits_->max_bytes).get());
    return;
  }
  // A copy first, as bytes(value): what follows must not read memory the program may resize.
  py::Ref copy = py::check(PyBytes_FromStringAndSize(data, size));
  binary(PyBytes_AS_STRING(copy.get()), PyBytes_GET_SIZE(copy.get()));
}

void Walk::other(PyObject* value) {
  bool failed = false;
  ran_code_ = true;
  py::Ref shown = repr_text(value, failed);
  if (failed) {
    write_text(out_, shown.get());  // the failure text is never cut
  } else {
    text(shown.get());
  }
}

void Walk::container(PyObject* value, Base base, Py_ssize_t depth) {
  if (depth >= limits_->max_depth) {
    write_text(out_, nested_too_deep_text(value).get());
    return;
  }
  if (is_open(value)) {
    write_text(out_, cycle_text(value).get());
    return;
  }
  std::size_t start = out_.size();
  std::size_t first_entry = entries_.size();
  OpenScope open(open_, value);
  try {
    StackGuard guard(frames_left_, open.outer_levels());
    if (base == Base::kDict) {
      mapping(value, depth + 1);
    } else if (base == Base::kObject) {
      instance(value, depth + 1);
    } else {
      sequence(value, base, depth + 1);
    }
  } catch (const py::Error& error) {
    if (!error.matches(PyExc_Exception)) throw;
    out_.truncate(start);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(first_entry), entries_.end());
    if (error.matches(PyExc_RecursionError)) {
      write_text(out_, nested_too_deep_text(value).get());
    } else {
      // Another thread or a repr() changed the container while it was read.
      write_text(out_, unreadable_text(value, error.value()).get());
    }
  }
}

void Walk::mapping(PyObject* value, Py_ssize_t depth) {
  Py_ssize_t size = PyDict_GET_SIZE(value);
  Py_ssize_t kept = quota(size);
  bool cut = kept < size;
  std::size_t header_at = out_.size();
  auto announced = static_cast<std::size_t>(kept + (cut ? 1 : 0));
  write::map_header(out_, announced);
  std::size_t first = entries_.size();
  if (entries_.capacity() == 0) entries_.reserve(16);
  bool merge = false;  // set when a key made here, or the cut marker's, may equal another
  // The frame's own locals: each of their objects is remembered by the trace.
  const bool remember = place_ != nullptr && depth == 1 && place_->locals;
  // As dict.items() yields: a change of size, or more entries than there were, is an error.
  Py_ssize_t position = 0;
  Py_ssize_t left = size;
  Py_ssize_t count = 0;
  while (!(cut && count >= kept)) {
    if (PyDict_GET_SIZE(value) != size) {
      py::throw_error(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    if (!PyDict_Next(value, &position, &key, &item)) break;
    if (left == 0) py::throw_error(PyExc_RuntimeError, "dictionary keys changed during iteration");
    --left;
    ++count;
    merge = merge || (cut && is_cut_mark(key));
    entry(key, item, depth, merge, remember);
  }
  if (cut) cut_entry(size - kept);
  end_map(header_at, announced, first, merge);
}

void Walk::instance(PyObject* value, Py_ssize_t depth) {
  // The fields of the objects being read share one vector, each object's after its outer one's;
  // they are read by index, as a nested object's fields may move them.
  const std::size_t first_field = fields_.size();
  struct Drop {
    objects::Fields& fields;
    std::size_t first;
    ~Drop() { fields.resize(first); }
  } drop{fields_, first_field};
  py::Ref name = objects::fields(value, fields_);
  auto size = static_cast<Py_ssize_t>(fields_.size() - first_field);
  Py_ssize_t kept = quota(size);
  bool cut = kept < size;
  std::size_t header_at = out_.size();
  auto announced = static_cast<std::size_t>(1 + kept + (cut ? 1 : 0));
  write::map_header(out_, announced);
  std::size_t first = entries_.size();
  std::size_t key_at = out_.size();
  write_text(out_, objects::class_key());
  std::size_t value_at = out_.size();
  text(name.get());
  entries_.push_back({py::Ref::share(objects::class_key()), key_at, value_at, out_.size()});
  bool merge = false;
  for (Py_ssize_t index = 0; index < kept; ++index) {
    const objects::Field& field = fields_[first_field + static_cast<std::size_t>(index)];
    PyObject* key = field.first.get();
    PyObject* item = field.second.get();
    // An attribute may be named like the class's entry, or like the cut marker.
    merge = merge || (cut && is_cut_mark(key)) ||
            (PyUnicode_Check(key) && PyUnicode_Compare(key, objects::class_key()) == 0);
    entry(key, item, depth, merge);
  }
  if (cut) cut_entry(size - kept);
  end_map(header_at, announced, first, merge);
}

void Walk::cut_entry(Py_ssize_t more) {
  std::size_t key_at = out_.size();
  write_text(out_, cut_mark());
  std::size_t value_at = out_.size();
  write_more(out_, "", more);
  entries_.push_back({py::Ref::share(cut_mark()), key_at, value_at, out_.size()});
}

void Walk::end_map(std::size_t header_at, std::size_t announced, std::size_t first, bool merge) {
  std::span<const MapEntry> written(entries_.data() + first, entries_.size() - first);
  if (merge) {
    merge_repeated_keys(out_, header_at, announced, written);
  } else if (written.size() != announced) {
    recount(out_, header_at, announced, written.size(), true);
  }
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(first), entries_.end());
}

void Walk::entry(PyObject* key, PyObject* item, Py_ssize_t depth, bool& merge, bool remember) {
  // Held here: a repr() may take them out of the dict.
  py::Ref held_key = py::Ref::share(key);
  py::Ref held_item = py::Ref::share(item);
  std::size_t key_at = out_.size();
  bool made = false;
  py::Ref plain_key = this->key(key, made);
  merge = merge || made;
  std::size_t value_at = out_.size();
  if (scrub::secret_name(key)) {
    text(scrub::marker(item).get());
  } else if (!(remember && PyUnicode_CheckExact(key) && remembered(key, item, depth))) {
    value(item, depth);
  }
  entries_.push_back({std::move(plain_key), key_at, value_at, out_.size()});
}

py::Ref Walk::key(PyObject* key, bool& made) {
  PyTypeObject* cls = Py_TYPE(key);
  py::Ref shown;
  if (cls == &PyUnicode_Type) {
    if (limits_->max_text == Limits::kAll || PyUnicode_GET_LENGTH(key) <= limits_->max_text) {
      write_text(out_, key);
      return py::Ref::share(key);
    }
    shown = cut_text(key, limits_->max_text);
  } else if (key == Py_None || cls == &PyBool_Type || cls == &PyFloat_Type) {
    value(key, 0);
    return py::Ref::share(key);
  } else if (cls == &PyLong_Type) {
    if (write_if_64_bits(out_, key)) return py::Ref::share(key);
    shown = int_text(key);
  } else if (cls == &PyBytes_Type) {
    if (limits_->max_bytes == Limits::kAll || PyBytes_GET_SIZE(key) <= limits_->max_bytes) {
      binary(PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key));
      return py::Ref::share(key);
    }
    shown = cut_bytes_text(PyBytes_AS_STRING(key), PyBytes_GET_SIZE(key), limits_->max_bytes);
  } else if (limits_->safe) {
    ran_code_ = true;
    shown = objects::key_text(key);
    if (limits_->max_text != Limits::kAll &&
        PyUnicode_GET_LENGTH(shown.get()) > limits_->max_text) {
      shown = cut_text(shown.get(), limits_->max_text);
    }
  } else {
    bool failed = false;
    ran_code_ = true;
    shown = repr_text(key, failed);
    if (limits_->max_text != Limits::kAll &&
        PyUnicode_GET_LENGTH(shown.get()) > limits_->max_text) {
      shown = cut_text(shown.get(), limits_->max_text);
    }
  }
  made = true;
  write_text(out_, shown.get());
  return shown;
}

void Walk::sequence(PyObject* value, Base base, Py_ssize_t depth) {
  Py_ssize_t size = base == Base::kList    ? PyList_GET_SIZE(value)
                    : base == Base::kTuple ? PyTuple_GET_SIZE(value)
                                           : PySet_GET_SIZE(value);
  Py_ssize_t kept = quota(size);
  bool cut = kept < size;
  std::size_t header_at = out_.size();
  auto announced = static_cast<std::size_t>(kept + (cut ? 1 : 0));
  write::array_header(out_, announced);
  Py_ssize_t count = items(value, base, depth, kept, cut);
  if (cut) {
    write_more(out_, "\xe2\x80\xa6 ", size - kept);
    ++count;
  }
  if (static_cast<std::size_t>(count) != announced) {
    recount(out_, header_at, announced, static_cast<std::size_t>(count), false);
  }
}

Py_ssize_t Walk::items(PyObject* value, Base base, Py_ssize_t depth, Py_ssize_t kept, bool cut) {
  Py_ssize_t count = 0;
  if (base == Base::kList) {
    // A list read by index against its current size, as its iterator does while items' repr()
    // calls may change it.
    for (Py_ssize_t index = 0; !(cut && count >= kept) && index < PyList_GET_SIZE(value);
         ++index, ++count) {
      py::Ref item = py::Ref::share(PyList_GET_ITEM(value, index));
      this->value(item.get(), depth);
    }
    return count;
  }
  if (base == Base::kTuple) {
    for (; count < kept; ++count) this->value(PyTuple_GET_ITEM(value, count), depth);
    return count;
  }
  // Sets through the built-in iterator, which raises when the set changes size.
  PyTypeObject* type = base == Base::kSet ? &PySet_Type : &PyFrozenSet_Type;
  py::Ref iterator = py::check(type->tp_iter(value));
  iternextfunc next = Py_TYPE(iterator.get())->tp_iternext;
  for (; !(cut && count >= kept); ++count) {
    PyObject* item = next(iterator.get());
    if (item == nullptr) {
      if (PyErr_Occurred()) py::throw_error();
      break;
    }
    py::Ref held = py::Ref::steal(item);
    this->value(item, depth);
  }
  return count;
}

Py_ssize_t Walk::quota(Py_ssize_t size) noexcept {
  Py_ssize_t kept = std::min({size, limits_->max_items, nodes_left_});
  nodes_left_ -= kept;
  return kept;
}

bool Walk::is_open(PyObject* value) const noexcept {
  for (const OpenLevel* level = open_; level != nullptr; level = level->outer) {
    if (level->value == value) return true;
  }
  return false;
}

}  // namespace vexo::speedups
