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

}  // namespace vexo::lib::monitoring
