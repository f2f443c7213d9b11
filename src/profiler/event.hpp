// The per-event driver: plugins, the filter decision, the frame record, the buffers.
#pragma once

#include "profiler/buffers.hpp"
#include "profiler/state.hpp"

namespace vexo::profiler {

// How a frame was left: by a return, or by an exception, which the profile hook is not shown.
struct Leaving {
  bool by_exception = false;
  PyObject* exception = nullptr;  // null while unknown
};

// Processes one call or return event. Never fails: errors are logged, and an event whose
// interpreter invariants do not hold is abandoned and reported.
void profile(PyFrameObject* frame, ProfilerState& state, PyObject* arg, Event event,
             Leaving leaving = {}) noexcept;

// Whether this thread's latest recorded frame left by an exception still waits for the exception.
bool awaits_exception(ProfilerState& state) noexcept;

// Records the exception awaited by this thread, null when it could not be learnt.
void record_awaited_exception(ProfilerState& state, PyObject* exception) noexcept;

}  // namespace vexo::profiler
