// The second way to drive the core, on 3.12 and later: callbacks registered with the
// interpreter's monitoring interface (sys.monitoring) instead of a per-thread profile hook.
//
// Events reach every thread; only threads bound to a VexoProfiler are recorded. A code location
// whose code every bound profiler drops is switched off on its first event, so that library code
// costs nothing from then on.
#pragma once

#include "py/python.hpp"

namespace vexo::lib::monitoring {

// Builds the module vexo._vexo_monitoring and puts it in sys.modules; on interpreters without
// the monitoring interface it does nothing. Throws py::Error.
void create_module();

// Arms the monitoring interface for a context trace's instance (see lib/contexts.hpp), kept armed
// afterwards as for a server's per-request profilers; false where it cannot be (no free tool id,
// or an interpreter without the interface), and the profile hook must stand in.
bool arm_for_context_trace(PyObject* instance);

}  // namespace vexo::lib::monitoring
