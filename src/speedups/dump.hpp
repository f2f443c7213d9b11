// One dump of any value, the compiled form of vexo.serialize.dumps.
#pragma once

#include "py/python.hpp"
#include "speedups/limits.hpp"
#include "speedups/walk.hpp"
#include "utils/msgpack_writer.hpp"

namespace vexo::speedups {

// New bytes holding one MessagePack value. Never fails for what the value holds: when the walk
// itself cannot finish (no memory, a value MessagePack cannot hold) the bytes are the text
// "<type: unserializable (error type)>". Only a BaseException that is not an Exception, raised by
// the program's own code, comes back as null with the exception set.
PyObject* dump(PyObject* value, const Limits& limits) noexcept;

// The same for a frame record's value at its place in a trace (see TracePlace), or alone (null).
PyObject* dump_in_trace(PyObject* value, const Limits& limits, const TracePlace* place) noexcept;

// The same bytes written over `out` rather than into a new bytes object; false where the others
// give null.
bool dump_in_trace_into(PyObject* value, const Limits& limits, const TracePlace* place,
                        msgpack::Bytes& out) noexcept;

}  // namespace vexo::speedups
