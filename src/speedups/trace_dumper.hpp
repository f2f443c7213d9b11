// vexo.serialize's dumper of frame records' values (dump_msgpack_in_trace), compiled.
#pragma once

#include "py/python.hpp"

namespace vexo::speedups {

// trace_dumper(limits, self_limits): a function (value, memo, frame_id, event, field) that dumps
// a frame record's value in the trace of the memo. Its capsule also carries the same dump as an
// entry the tracer calls without a Python call (vexo::dump::TraceDumperEntry).
PyObject* trace_dumper(PyObject* module, PyObject* const* args, Py_ssize_t count);

}  // namespace vexo::speedups
