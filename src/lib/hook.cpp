#include "lib/hook.hpp"

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

}  // namespace

int profile_callback(PyObject* profiler, PyFrameObject* frame, int what, PyObject* arg) {
  profiler::Event event;
  if (what == PyTrace_CALL) {
    event = profiler::Event::Call;
  } else if (what == PyTrace_RETURN) {
    event = profiler::Event::Return;
  } else {
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
  hand_over_event(profiler, frame, arg, event);
  return 0;
}

void hand_over_event(PyObject* profiler, PyFrameObject* frame, PyObject* arg,
                     profiler::Event event) noexcept {
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
  profiler::profile(frame, *state, arg != nullptr ? arg : Py_None, event);
}

}  // namespace vexo::lib
