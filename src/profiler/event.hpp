// The per-event driver: plugins, the filter decision, the frame record, the buffers.
#pragma once

#include "profiler/buffers.hpp"
#include "profiler/state.hpp"

namespace vexo::profiler {

// Processes one call or return event. Never fails: errors are logged, and an event whose
// interpreter invariants do not hold is abandoned and reported.
void profile(PyFrameObject* frame, ProfilerState& state, PyObject* arg, Event event) noexcept;

}  // namespace vexo::profiler
