#include "lib/hook.hpp"

#include <cstddef>

#include "lib/contexts.hpp"
#include "lib/shutdown.hpp"
#include "lib/vexo_profiler.hpp"
#include "profiler/event.hpp"
#include "py/frames.hpp"
#include "py/gil.hpp"
#include "py/ref.hpp"

namespace vexo::lib {

namespace {

// Most events are of library code. Once its code has been seen, such an event ends here: it
// runs no code of the program and leaves the error state alone, so it needs none of the guards
// an event that does work sets up.
bool is_known_to_be_ignored(PyFrameObject* frame, profiler::ProfilerState& state) noexcept {
  if (!py::is_frame(reinterpret_cast<PyObject*>(frame))) return false;
  py::Ref code = py::frame_code(frame);
  return code && state.ignores(code.get());
}

#if PY_VERSION_HEX < 0x030C0000

void record_exception(PyObject* profiler, PyObject* exception) noexcept {
  profiler::ProfilerState* state = reinterpret_cast<VexoProfilerObject*>(profiler)->state;
  if (state == nullptr || shutdown::begun()) return;
  py::ErrorStateGuard error_state;
  shutdown::WorkInProgress work;
  profiler::record_awaited_exception(*state, exception);
}

// The profile hook is told that a frame was left by an exception while the interpreter holds the
// exception aside, out of its sight. The caller's frame learns of it next, and a trace function is
// told of that: one is lent to the thread until its next event, whatever that is. It is set in
// the thread state directly, as no line tracing is wanted and the program's audit hooks have
// nothing to hear of it.
// How many threads hold a lent trace function; guarded by the interpreter lock.
std::size_t lent_trace_functions = 0;

int learn_exception(PyObject* profiler, PyFrameObject*, int what, PyObject* arg) {
  PyThreadState* thread = PyThreadState_Get();
  thread->c_tracefunc = nullptr;
  thread->c_traceobj = nullptr;
  --lent_trace_functions;
  PyObject* exception = nullptr;
  if (what == PyTrace_EXCEPTION && arg != nullptr && PyTuple_Check(arg) &&
      PyTuple_GET_SIZE(arg) == 3) {
    exception = PyTuple_GET_ITEM(arg, 1);
  }
  record_exception(profiler, exception);
  Py_DECREF(profiler);
  return 0;
}

// False where the thread has a trace function of its own (a debugger's, coverage's).
bool lend_trace_function(PyObject* profiler) noexcept {
  PyThreadState* thread = PyThreadState_Get();
  if (thread->c_tracefunc != nullptr) return false;
  thread->c_traceobj = Py_NewRef(profiler);
  thread->c_tracefunc = learn_exception;
  ++lent_trace_functions;
  return true;
}

// The exception went to C code that kept it (hasattr(), for one), and the program goes on: the
// trace function is taken back at its next call of a C function, before sys.gettrace() could
// show it.
void take_back_trace_function() noexcept {
  PyThreadState* thread = PyThreadState_Get();
  if (thread->c_tracefunc != learn_exception) return;
  learn_exception(thread->c_traceobj, nullptr, PyTrace_C_CALL, nullptr);
}

#else

// From 3.12 on the profile hook stands in only where no monitoring tool id was free; its
// exceptions stay unknown, as a trace function would have every code object instrumented anew.
bool lend_trace_function(PyObject*) noexcept { return false; }

#endif

}  // namespace

int profile_callback(PyObject* profiler, PyFrameObject* frame, int what, PyObject* arg) {
  profiler::Event event;
  if (what == PyTrace_CALL) {
    event = profiler::Event::Call;
  } else if (what == PyTrace_RETURN) {
    event = profiler::Event::Return;
  } else {
#if PY_VERSION_HEX < 0x030C0000
    if (what == PyTrace_C_CALL && lent_trace_functions != 0) take_back_trace_function();
#endif
    return 0;
  }
  if (shutdown::begun()) return 0;
  if (profiler == nullptr || !is_vexo_profiler(profiler)) {
    PyErr_SetString(PyExc_TypeError, "the profile object is not a VexoProfiler");
    return -1;
  }
  if (frame == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return -1;
  }
  // A context's trace comes before the thread's own; it is kept alive here for the event.
  const py::Ref in_context = contexts::active_trace(false);
  hand_over_event(in_context ? in_context.get() : profiler, frame, arg, event,
                  {event == profiler::Event::Return && arg == nullptr});
  return 0;
}

void hand_over_event(PyObject* profiler, PyFrameObject* frame, PyObject* arg, profiler::Event event,
                     profiler::Leaving leaving) noexcept {
  profiler::ProfilerState* state = reinterpret_cast<VexoProfilerObject*>(profiler)->state;
  if (state == nullptr) return;  // an instance already destroyed, called by an older interpreter
  if (is_known_to_be_ignored(frame, *state)) return;
  // An exception may be propagating through a returning frame; whatever the Python code run for
  // this event does, the interpreter finds its error state as it was.
  py::ErrorStateGuard error_state;
  // The interpreter lends us its hook's reference only. Code run for the event (a plugin, a
  // __repr__, a finalizer run by a collection) can replace the hook, and if nothing else holds
  // the instance that would destroy the state under our feet.
  py::Ref keep_alive = py::Ref::share(profiler);
  shutdown::WorkInProgress work;
  profiler::profile(frame, *state, arg != nullptr ? arg : Py_None, event, leaving);
  if (leaving.by_exception && leaving.exception == nullptr && profiler::awaits_exception(*state) &&
      !lend_trace_function(profiler)) {
    profiler::record_awaited_exception(*state, nullptr);
  }
}

}  // namespace vexo::lib
