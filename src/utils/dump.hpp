// Values the tracer does not encode itself go through the package's serializer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "py/ref.hpp"
#include "utils/msgpack_writer.hpp"

namespace vexo::dump {

// Which function of vexo.serialize dumps the values: dump_msgpack, dump_msgpack_in_trace,
// dump_msgpack_repr, dump_msgpack_full, dump_msgpack_lightweight_repr (the lighter dump, which
// runs none of the program's code) or dump_msgpack_lightweight_with_repr.
enum class Dumper : std::uint8_t { kPlain, kInTrace, kRepr, kFull, kLightweight, kLightweightRepr };

// The dumper for a profiler's "values" setting and its "lightweight_repr" flag: with the flag,
// the lighter dump (with repr() under "repr" and "full"); without it, "safe" (the package's
// default) is dump_msgpack_in_trace, "repr" and "full" theirs, and no setting (or any other)
// dump_msgpack.
Dumper dumper_for(std::string_view values, bool lightweight) noexcept;

// Whether the dumper is called with the value's place in its trace.
inline bool in_trace(Dumper dumper) noexcept { return dumper == Dumper::kInTrace; }

// A frame record's value at its place: the trace's memo (vexo.serialize.ValueMemo), the frame's
// id (null for a frame whose call was not recorded; a str or None for the serializer), the event
// and the field ("arg" or "locals").
struct Place {
  PyObject* memo;
  const std::string* frame_id;
  PyObject* event;
  PyObject* field;
};

// A compiled trace dumper's own entry: the dump its function gives, without a Python call. Such a
// function's self is a capsule of this name, whose pointer is the dumper's limits and whose
// context its entry.
inline constexpr const char kTraceDumperCapsule[] = "vexo._speedups.TraceLimits";
struct TraceDumperEntry {
  // Writes the dump over `out`; false with an exception set when the dump raised.
  bool (*dump)(const void* limits, PyObject* value, const Place& place,
               msgpack::Bytes& out) noexcept;
};

// The dumper's dump of the value (for kInTrace, at its place) written over `out`. Throws
// py::Error.
void dump_value(PyObject* value, Dumper dumper, const Place* place, msgpack::Bytes& out);

// The UTF-8 text with its secrets replaced by the serializer's rules (for exception messages,
// which the tracer writes itself); nothing when the serializer cannot be reached. Throws
// py::Error only for a BaseException that is not an Exception.
std::optional<std::string> scrubbed_text(std::string_view text);

// The same, as an owned byte vector, for a value without a place in a trace (kInTrace dumps it as
// kPlain does).
msgpack::Bytes dump(PyObject* value, Dumper dumper);

}  // namespace vexo::dump
