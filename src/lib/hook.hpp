// The C-level profile hook.
#pragma once

#include "py/python.hpp"

namespace vexo::lib {

// Hands call and return events to event processing; the profile object is a VexoProfiler.
int profile_callback(PyObject* profiler, PyFrameObject* frame, int what, PyObject* arg);

}  // namespace vexo::lib
