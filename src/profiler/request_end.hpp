// The record that ends a web request's trace.
#pragma once

#include "profiler/state.hpp"

namespace vexo::profiler {

// Adds the "end_request" record to the trace, on the calling thread: how the request ended
// (`outcome`: the status code as text, or "error"), with its status code and its error where they
// are not None. It has the fields of a plugin record, so that it reads as the marker it replaces.
// Throws py::Error when the record cannot be made.
void push_request_end(ProfilerState& state, PyObject* outcome, PyObject* status, PyObject* error);

}  // namespace vexo::profiler
