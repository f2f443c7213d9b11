// Reporting a failure met while processing an event, without letting it reach the program.
#pragma once

#include <cstddef>

#include "profiler/failure_log.hpp"
#include "py/error.hpp"

namespace vexo::profiler {

// A warning on the logger "vexo" with the code location, the event and the frame's locals, the
// exception attached; the same failure (code location, error type and message) again in the same
// trace is only counted in `failures`. A failure of the reporting itself goes to the unraisable
// hook.
void log_error(FailureLog& failures, PyFrameObject* frame, const py::Error& error,
               const char* event, PyObject* co_filename, PyObject* co_name) noexcept;

// One warning that lists the failures logged once but met again since the last report.
void report_repeated_failures(FailureLog& failures) noexcept;

// One warning that a trace has reached its budget of `limit` bytes, a MemoryError attached. It
// shows none of the program's values: formatting them could run the program's own code.
void report_budget_reached(std::size_t limit) noexcept;

// For an event abandoned because an interpreter invariant did not hold.
void report_abandoned_event(const char* message, PyObject* context) noexcept;

}  // namespace vexo::profiler
