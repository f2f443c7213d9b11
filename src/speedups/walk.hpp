// The walk over a value that writes its MessagePack dump.
//
// It gives exactly the bytes of the package's Python walk followed by msgpack.packb (the Python
// code is the reference): the same items kept, cut and replaced by texts, in the same order, with
// the same calls of the program's code (one repr() per shown object, nothing else; none at all in
// a safe dump). Built-in
// containers and their subclasses are read from the built-in storage, the way dict.items(),
// list.__iter__() and set.__iter__() read them, including their errors when a repr() changes them.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <string>
#include <vector>

#include "py/error.hpp"
#include "speedups/limits.hpp"
#include "speedups/map_merge.hpp"
#include "speedups/objects.hpp"
#include "speedups/output.hpp"
#include "speedups/value_memo.hpp"

namespace vexo::speedups {

// Writing a text or bytes value failed (no memory, or too long for MessagePack). The Python walk
// meets this only when packing the finished plain copy, so the whole dump becomes the fallback
// text instead of one container.
struct PackFailed {
  py::Error error;
};

// Where a dump of a frame record's value belongs in its trace: objects shown as their fields are
// remembered there, and written as a reference when the trace has them already (the value
// itself, or each local's value when the value is the frame's locals).
struct TracePlace {
  ValueMemo& memo;
  const std::string* frame_id;  // null for a frame whose call was not recorded
  PyObject* event;
  PyObject* field;            // "arg" or "locals"
  bool locals;                // the field is "locals"
  const Limits& self_limits;  // for the local named "self"
};

class Walk {
 public:
  Walk(const Limits& limits, Output& out, const TracePlace* place = nullptr) noexcept;

  // The whole value of a dump.
  void top(PyObject* value);
  void value(PyObject* value, Py_ssize_t depth);

 private:
  // kObject: an object shown as its fields, in a safe dump.
  enum class Base { kDict, kList, kTuple, kSet, kFrozenSet, kObject };
  static bool container_base(PyTypeObject* cls, Base& base) noexcept;

  // The containers being read, innermost first, for cycles; each lives in its reader's frame.
  struct OpenLevel {
    PyObject* value;
    const OpenLevel* outer;
    std::size_t count;  // levels open, this one included
  };
  class OpenScope;

  void text(PyObject* text);
  // Writes the text's kept part with its secrets replaced; false, writing nothing, when it holds
  // none.
  bool scrubbed_text(PyObject* text);
  void integer(PyObject* value);
  void binary(const char* data, Py_ssize_t size);
  void byte_array(PyObject* value);
  void other(PyObject* value);
  void safe_object(PyObject* value, PyTypeObject* cls, Py_ssize_t depth);
  void instance(PyObject* value, Py_ssize_t depth);
  void container(PyObject* value, Base base, Py_ssize_t depth);
  void mapping(PyObject* value, Py_ssize_t depth);
  void sequence(PyObject* value, Base base, Py_ssize_t depth);
  // Writes the items the way base.__iter__ yields them (at most `kept` when the container is cut);
  // gives how many.
  Py_ssize_t items(PyObject* value, Base base, Py_ssize_t depth, Py_ssize_t kept, bool cut);
  // Writes the key; gives the key of the plain dict and whether it is a text made here.
  py::Ref key(PyObject* key, bool& made);
  // `remember`: the entries are the frame's locals, remembered one by one.
  void entry(PyObject* key, PyObject* item, Py_ssize_t depth, bool& merge, bool remember = false);
  // Writes an object the trace remembers, or a reference to where it was written; false for a
  // value that is not remembered.
  bool remembered(PyObject* name, PyObject* value, Py_ssize_t depth);
  // Writes the value within limits of its own, its nodes taken from the dump's.
  void within(const Limits& limits, PyObject* value, Py_ssize_t depth);
  std::string reference_to(PyTypeObject* cls, PyObject* name) const;
  // Ends a map begun at `header_at` whose entries from `first` on are written.
  void end_map(std::size_t header_at, std::size_t announced, std::size_t first, bool merge);
  // The last entry of a cut map: "…": "N more".
  void cut_entry(Py_ssize_t more);
  Py_ssize_t quota(Py_ssize_t size) noexcept;
  bool is_open(PyObject* value) const noexcept;

  const Limits* limits_;
  Output& out_;
  const TracePlace* place_;
  bool ran_code_ = false;  // whether a repr() was called, which may run any code
  Py_ssize_t nodes_left_;
  long frames_left_;  // Python frames left when the dump started
  const OpenLevel* open_ = nullptr;
  // Entries of the maps being written, innermost last; the usual few need no allocation.
  std::byte arena_buffer_[2048];
  std::pmr::monotonic_buffer_resource arena_{arena_buffer_, sizeof arena_buffer_};
  std::pmr::vector<MapEntry> entries_{&arena_};
  objects::Fields fields_{&arena_};
};

// Writes a str as msgpack.packb does: UTF-8, lone surrogates as backslash escapes.
void write_text(Output& out, PyObject* text);

}  // namespace vexo::speedups
