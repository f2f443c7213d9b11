// The C-level profile hook.
#pragma once

#include "profiler/event.hpp"
#include "py/python.hpp"

namespace vexo::lib {

// Hands call and return events to event processing; the profile object is a VexoProfiler.
int profile_callback(PyObject* profiler, PyFrameObject* frame, int what, PyObject* arg);

// Event processing for one event of `frame` on a thread that `profiler` (a VexoProfiler) traces;
// whichever way the event came, the program's error state is left as it was.
void hand_over_event(PyObject* profiler, PyFrameObject* frame, PyObject* arg, profiler::Event event,
                     profiler::Leaving leaving = {}) noexcept;

}  // namespace vexo::lib
