// The C-level profile hooks.
#pragma once

#include "py/python.hpp"

namespace vexo::lib {

// Hands call and return events to event processing; the profile object is a VexoProfiler.
int profile_callback(PyObject* profiler, PyFrameObject* frame, int what, PyObject* arg);

// Does nothing, for every event.
int noop_profile(PyObject* profiler, PyFrameObject* frame, int what, PyObject* arg);

}  // namespace vexo::lib
