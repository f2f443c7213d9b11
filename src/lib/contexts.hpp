// Traces that follow a context instead of a thread: a server's request, whose task shares one
// event loop thread with every other request, and whatever the request hands to other threads
// with a copy of its context (asyncio.to_thread, loop.run_in_executor under Context.run).
//
// The module vexo._vexo_contexts holds the context variable `trace`. An event is recorded by the
// VexoProfiler that this variable holds in the current context, if one does and its trace has not
// ended; else by the thread's own profiler, as before. A server starts each request's trace with
// one call (`begin`), from a VexoProfiler whose configuration was read once (`prepare`).
#pragma once

#include "py/ref.hpp"

namespace vexo::lib::contexts {

// The VexoProfiler whose trace is active in the current context, or null. Costs nothing while no
// such trace is alive; else one PyContextVar_Get, which the interpreter answers from the variable's
// own cache while the thread stays in the same context (it checks the thread state's id and its
// context version, so a context that ended cannot be mistaken for a new one at its address).
// `by_monitoring` tells which way the event came.
py::Ref active_trace(bool by_monitoring) noexcept;

// Builds the module vexo._vexo_contexts and puts it in sys.modules. Throws py::Error.
void create_module();

}  // namespace vexo::lib::contexts
