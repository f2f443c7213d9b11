// Saving a trace through the package's database function.
#pragma once

#include "profiler/state.hpp"

namespace vexo::profiler {

// Builds the document of the current trace and stores it with vexo.db.save_trace_in_sqlite.
// When the function cannot be found, nothing is drained; when the call raises, the records go
// back to the front of their buffers. Throws py::Error.
void save_in_db(ProfilerState& state);

}  // namespace vexo::profiler
