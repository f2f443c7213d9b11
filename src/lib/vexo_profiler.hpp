// The interpreter-level class VexoProfiler: one profiler state, reached from Python.
#pragma once

#include <memory>

#include "profiler/state.hpp"

namespace vexo::lib {

struct VexoProfilerObject {
  PyObject_HEAD
  profiler::ProfilerState* state;
};

// The type object, made on first use; throws py::Fatal when it cannot be made.
PyTypeObject* vexo_profiler_type();
bool is_vexo_profiler(PyObject* object) noexcept;

// A new instance that owns `state`.
py::Ref new_vexo_profiler(std::unique_ptr<profiler::ProfilerState> state);

}  // namespace vexo::lib
