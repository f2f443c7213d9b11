// Reporting a failure met while processing an event, without letting it reach the program.
#pragma once

#include "py/error.hpp"

namespace vexo::profiler {

// A warning on the logger "vexo" with the code location, the event and the frame's locals, the
// exception attached. A failure of the reporting itself goes to the unraisable hook.
void log_error(PyFrameObject* frame, const py::Error& error, const char* event,
               PyObject* co_filename, PyObject* co_name) noexcept;

// For an event abandoned because an interpreter invariant did not hold.
void report_abandoned_event(const char* message, PyObject* context) noexcept;

}  // namespace vexo::profiler
