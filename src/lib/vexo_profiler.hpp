// The interpreter-level class VexoProfiler: one profiler state, reached from Python.
#pragma once

#include <memory>

#include "profiler/state.hpp"

namespace vexo::lib {

struct VexoProfilerObject {
  PyObject_HEAD
  profiler::ProfilerState* state;
  // Set when the instance records a context's trace (see lib/contexts.hpp) and that trace has
  // ended: the contexts that still hold it record nothing more into it.
  bool context_ended;
  // Whether that trace's events come through the monitoring interface rather than the profile
  // hook: only the one way records them, where a process has both.
  bool context_by_monitoring;
};

// The type object, made on first use; throws py::Fatal when it cannot be made.
PyTypeObject* vexo_profiler_type();
bool is_vexo_profiler(PyObject* object) noexcept;

// A thread started by threading is asked its identity at its start, while threading knows it:
// its first recorded event may come only as it ends, when asking would make threading register a
// dummy thread in its place. A failure leaves the question for later.
void remember_thread_identity(profiler::ProfilerState& state) noexcept;

// A new instance that owns `state`.
py::Ref new_vexo_profiler(std::unique_ptr<profiler::ProfilerState> state);

}  // namespace vexo::lib
