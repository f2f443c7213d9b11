#include "lib/monitoring.hpp"

#if PY_VERSION_HEX >= 0x030C0000

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "filters/frame_filter.hpp"
#include "lib/contexts.hpp"
#include "lib/hook.hpp"
#include "lib/module_functions.hpp"
#include "lib/shutdown.hpp"
#include "lib/vexo_profiler.hpp"
#include "py/gil.hpp"
#include "py/method.hpp"
#include "py/object.hpp"

namespace vexo::lib::monitoring {

namespace {

using py::Ref;

// The interpreter's events that its own profile hook turns into "call" and "return", mapped the
// same way. Events of non-local kinds cannot be switched off: asking would unregister us.
struct EventKind {
  const char* name;
  profiler::Event event;
  bool has_value;  // the third argument (value returned or yielded, exception thrown in) is passed
  bool can_disable;
  bool leaves_by_exception = false;  // the third argument is the exception leaving the frame
};

constexpr std::array<EventKind, 6> kEventKinds{{
    {"PY_START", profiler::Event::Call, false, true},
    {"PY_RESUME", profiler::Event::Call, false, true},
    // The interpreter's own profile hook is handed the exception thrown in on 3.12, None after.
    {"PY_THROW", profiler::Event::Call, PY_VERSION_HEX < 0x030D0000, false},
    {"PY_RETURN", profiler::Event::Return, true, true},
    {"PY_YIELD", profiler::Event::Return, true, true},
    {"PY_UNWIND", profiler::Event::Return, false, false, true},
}};

constexpr std::array<int, 3> kToolIds{3, 4,
                                      5};  // 0 to 2 are the debugger's, coverage's, cProfile's

// The tool id we hold and what it was set up with; guarded by the interpreter lock.
struct Tool {
  int id = -1;
  Ref monitoring;  // sys.monitoring
  Ref disable;     // sys.monitoring.DISABLE
  std::size_t bound_threads = 0;
  // The filter settings under which locations were switched off, and whether every bound thread's
  // profiler has them (only then is a location switched off).
  std::string settings;
  bool settings_known = false;
  bool may_disable = true;
  // A VexoProfiler registered under those settings, whose filter also answers the threads that
  // no profiler records, so that their filtered code is switched off as well.
  Ref settled;
  // Whether the tool stays armed once no thread is bound: a server's per-request profilers keep
  // it, so that the interpreter neither re-instruments code nor loses the switched-off locations
  // between two requests.
  bool keep_armed = false;
};

Tool& tool() {
  static Tool* held = new Tool;  // never freed: it may be used until the process ends
  return *held;
}

// The VexoProfiler this thread is recorded by, kept alive by the thread's binding.
thread_local PyObject* bound = nullptr;

bool runs_code(PyFrameObject* frame, PyObject* code) noexcept {
  PyCodeObject* frame_code = PyFrame_GetCode(frame);
  Py_DECREF(frame_code);
  return reinterpret_cast<PyObject*>(frame_code) == code;
}

// Whether the filter of the settled profiler drops the code for good. A failure to tell (a
// code name that is not text) only leaves the location on.
bool settled_filter_drops(PyObject* code) noexcept {
  Tool& held = tool();
  if (!held.settled || !held.may_disable) return false;
  profiler::ProfilerState* state = reinterpret_cast<VexoProfilerObject*>(held.settled.get())->state;
  if (state == nullptr) return false;
  py::ErrorStateGuard error_state;
  try {
    return !state->code_info(code).may_matter();
  } catch (...) {
    return false;
  }
}

// An event of a thread that no profiler records, such as a server's own threads between two
// requests while the tool stays armed: nothing is recorded, but filtered code is switched off
// there too, or each of its events would cost a call for as long as the server runs.
PyObject* on_unrecorded_event(const EventKind& kind, PyObject* code) noexcept {
  if (kind.can_disable && PyCode_Check(code) && settled_filter_drops(code)) {
    return Py_NewRef(tool().disable.get());
  }
  Py_RETURN_NONE;
}

template <std::size_t index>
PyObject* on_event(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  constexpr EventKind kind = kEventKinds[index];
  if (nargs < 2 || shutdown::begun()) Py_RETURN_NONE;
  // A context's trace comes before the thread's own; it is kept alive here for the event.
  const py::Ref in_context = contexts::active_trace(true);
  PyObject* instance = in_context ? in_context.get() : bound;
  if (instance == nullptr) return on_unrecorded_event(kind, args[0]);
  profiler::ProfilerState* state = reinterpret_cast<VexoProfilerObject*>(instance)->state;
  PyObject* code = args[0];
  if (state == nullptr || !PyCode_Check(code)) Py_RETURN_NONE;
  if (!state->ignores(code)) {
    PyFrameObject* frame = PyEval_GetFrame();
    if (frame == nullptr || !runs_code(frame, code)) Py_RETURN_NONE;
    PyObject* value = kind.has_value && nargs >= 3 ? args[2] : Py_None;
    profiler::Leaving leaving;
    if constexpr (kind.leaves_by_exception) leaving = {true, nargs >= 3 ? args[2] : nullptr};
    hand_over_event(instance, frame, value, kind.event, leaving);
    // The event's own work may have stopped this thread's tracing and freed the state.
    if (!in_context && bound != instance) Py_RETURN_NONE;
  }
  if (kind.can_disable && tool().may_disable && state->ignores(code)) {
    return Py_NewRef(tool().disable.get());
  }
  Py_RETURN_NONE;
}

template <std::size_t... index>
constexpr std::array<PyMethodDef, kEventKinds.size()> callback_definitions(
    std::index_sequence<index...>) {
  return {
      {{kEventKinds[index].name, py::as_cfunction(on_event<index>), METH_FASTCALL, nullptr}...}};
}

PyMethodDef* callbacks() {
  static std::array<PyMethodDef, kEventKinds.size()> definitions =
      callback_definitions(std::make_index_sequence<kEventKinds.size()>{});
  return definitions.data();
}

int event_flag(const char* name) {
  Ref events = py::check(PyObject_GetAttrString(tool().monitoring.get(), "events"));
  Ref flag = py::check(PyObject_GetAttrString(events.get(), name));
  return static_cast<int>(PyLong_AsLong(flag.get()));
}

// Takes a free tool id and sets our callbacks and events up; false when every id we may take is
// held by another tool.
bool acquire_tool() {
  Tool& held = tool();
  if (held.id >= 0) return true;
  held.monitoring = py::check(PyObject_GetAttrString(py::import("sys").get(), "monitoring"));
  held.disable = py::check(PyObject_GetAttrString(held.monitoring.get(), "DISABLE"));
  int free_id = -1;
  for (int id : kToolIds) {
    if (py::check(PyObject_CallMethod(held.monitoring.get(), "get_tool", "i", id)).is_none()) {
      free_id = id;
      break;
    }
  }
  if (free_id < 0) return false;
  py::check(PyObject_CallMethod(held.monitoring.get(), "use_tool_id", "is", free_id, "vexo"));
  held.id = free_id;
  int all_events = 0;
  for (std::size_t index = 0; index < kEventKinds.size(); ++index) {
    const int flag = event_flag(kEventKinds[index].name);
    Ref callback = py::check(PyCFunction_New(&callbacks()[index], nullptr));
    Ref flag_object = py::check(PyLong_FromLong(flag));
    py::check(PyObject_CallMethod(held.monitoring.get(), "register_callback", "iOO", free_id,
                                  flag_object.get(), callback.get()));
    all_events |= flag;
  }
  py::check(PyObject_CallMethod(held.monitoring.get(), "set_events", "ii", free_id, all_events));
  return true;
}

// Events off, callbacks and id given back: the interpreter keeps nothing of ours that costs the
// program anything.
void release_tool() {
  Tool& held = tool();
  if (held.id < 0) return;
  const int id = held.id;
  held.id = -1;
  py::check(PyObject_CallMethod(held.monitoring.get(), "set_events", "ii", id, 0));
  for (const EventKind& kind : kEventKinds) {
    Ref flag = py::check(PyLong_FromLong(event_flag(kind.name)));
    py::check(PyObject_CallMethod(held.monitoring.get(), "register_callback", "iOO", id, flag.get(),
                                  Py_None));
  }
  py::check(PyObject_CallMethod(held.monitoring.get(), "free_tool_id", "i", id));
  held.settled.reset();
  if (!held.may_disable) {
    // Nothing was switched off since the settings last differed.
    held.settings_known = false;
    held.may_disable = true;
  }
}

void release_tool_reporting_failure() noexcept {
  py::ErrorStateGuard error_state;
  try {
    release_tool();
  } catch (const py::Error& error) {
    error.restore();
    PyErr_WriteUnraisable(nullptr);
  } catch (...) {
    py::raise_current_exception();
    PyErr_WriteUnraisable(nullptr);
  }
}

// Gives the tool back once no thread is bound, unless it is kept armed.
void release_when_idle(std::size_t bound_threads) noexcept {
  if (bound_threads == 0 && !tool().keep_armed && !shutdown::begun()) {
    release_tool_reporting_failure();
  }
}

// What decides which code locations a profiler drops for good: its path fragments and the code
// names and paths its plugins watch.
std::string filter_settings(const profiler::ProfilerState& state) {
  std::string text =
      filters::fragments_key(state.settings.include_frames, state.settings.ignore_frames) + '\1';
  std::vector<std::string> watched;
  for (const auto& [code_name, processors] : state.plugins) {
    for (const auto& processor : processors) {
      watched.push_back(code_name + '\0' + processor.path_fragment.fragment());
    }
  }
  std::sort(watched.begin(), watched.end());
  for (const std::string& entry : watched) text += entry + '\1';
  return text;
}

// A profiler whose filter settings differ from those that locations were switched off under
// brings them back first; while other threads trace, perhaps under other settings, none is
// switched off until a profiler registers alone.
void adopt_settings(PyObject* instance, const profiler::ProfilerState& state) {
  Tool& held = tool();
  std::string settings = filter_settings(state);
  const bool same = held.settings_known && held.settings == settings;
  if (same && held.may_disable) {
    // The settled profiler stays: its filter has answered many codes already.
    if (!held.settled) held.settled = Ref::share(instance);
    return;
  }
  if (!same && held.settings_known) {
    py::check(PyObject_CallMethod(held.monitoring.get(), "restart_events", nullptr));
  }
  if (held.bound_threads > 1) {  // the calling thread is bound already
    held.may_disable = false;
    return;
  }
  held.settings = std::move(settings);
  held.settings_known = true;
  held.may_disable = true;
  held.settled = Ref::share(instance);
}

// A thread's binding to its VexoProfiler, kept in the thread state's dict: it dies with the
// thread, with the interpreter lock held, and gives the tool back after the last bound thread.
struct BindingObject {
  PyObject_HEAD
  PyObject* instance;
};

void binding_dealloc(PyObject* self) {
  PyObject* instance = reinterpret_cast<BindingObject*>(self)->instance;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
  Py_XDECREF(instance);
  release_when_idle(--tool().bound_threads);
}

PyTypeObject* binding_type() {
  static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(binding_dealloc)},
                                {0, nullptr}};
  static PyType_Spec spec = {"vexo._vexo_monitoring.Binding", sizeof(BindingObject), 0,
                             Py_TPFLAGS_DEFAULT, slots};
  static PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  if (type == nullptr) throw py::Fatal("failed to make the thread binding type");
  return type;
}

PyObject* binding_key() {
  static PyObject* key = PyUnicode_InternFromString("vexo.monitoring.binding");
  if (key == nullptr) throw py::Fatal("failed to make the thread binding key");
  return key;
}

PyObject* thread_dict() {
  PyObject* dict = PyThreadState_GetDict();
  if (dict == nullptr) throw py::Fatal("the thread has no state dict");
  return dict;
}

void bind_this_thread(PyObject* instance) {
  PyTypeObject* type = binding_type();
  Ref binding = py::check(type->tp_alloc(type, 0));
  reinterpret_cast<BindingObject*>(binding.get())->instance = Py_NewRef(instance);
  ++tool().bound_threads;  // before an earlier binding of this thread goes
  py::dict_set(thread_dict(), binding_key(), binding);
  bound = instance;
}

void unbind_this_thread() {
  bound = nullptr;
  PyObject* dict = thread_dict();
  if (PyDict_Contains(dict, binding_key()) == 1) {
    py::check_status(PyDict_DelItem(dict, binding_key()));
  }
  if (PyErr_Occurred()) py::throw_error();
}

void warn_no_free_tool_id() {
  static bool warned = false;
  if (std::exchange(warned, true)) return;
  py::check_status(PyErr_WarnEx(PyExc_RuntimeWarning,
                                "vexo: every monitoring tool id it may take is in use; tracing "
                                "with the profile hook instead",
                                1));
}

// Installs the thread's way of tracing; false when the profile hook had to stand in.
bool trace_this_thread(PyObject* instance) {
  if (!acquire_tool()) {
    warn_no_free_tool_id();
    PyEval_SetProfile(profile_callback, instance);
    return false;
  }
  bind_this_thread(instance);
  return true;
}

// threading's profile function for threads started while tracing: binds the new thread at its
// first event, as the profile hook's own starter installs the hook, and leaves no profile
// function behind.
PyObject* start_thread(PyObject* instance, PyObject*) {
  return py::guard<PyObject*>(nullptr, [instance]() -> PyObject* {
    if (!is_vexo_profiler(instance)) py::throw_downcast(instance, "VexoProfiler");
    profiler::ProfilerState* state = reinterpret_cast<VexoProfilerObject*>(instance)->state;
    if (state == nullptr) return Ref::none().release();
    PyEval_SetProfile(nullptr, nullptr);
    trace_this_thread(instance);
    state->renew_after_fork();
    remember_thread_identity(*state);
    return Ref::none().release();
  });
}

PyMethodDef start_thread_definition = {"start_thread", start_thread, METH_VARARGS, nullptr};

Ref register_profiler_body(PyObject* profiler) {
  Ref instance = new_registered_instance(profiler);
  profiler::ProfilerState& state = *reinterpret_cast<VexoProfilerObject*>(instance.get())->state;
  Ref hook;
  if (trace_this_thread(instance.get())) {
    adopt_settings(instance.get(), state);
    hook = py::check(PyCFunction_New(&start_thread_definition, instance.get()));
  } else {
    hook = py::getattr(instance.get(), py::names().register_threading_profiler);
  }
  trace_later_threads(profiler, hook.get());
  return Ref::none();
}

PyObject* register_profiler(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_register_profiler(args, kwargs, register_profiler_body);
}

}  // namespace

bool arm_for_context_trace(PyObject* instance) {
  if (!acquire_tool()) {
    warn_no_free_tool_id();
    return false;
  }
  tool().keep_armed = true;
  adopt_settings(instance, *reinterpret_cast<VexoProfilerObject*>(instance)->state);
  return true;
}

namespace {

// Stops tracing the calling thread. With keep_armed the tool stays armed for the next profiler
// (a server's next request); without, it is released once no thread is bound.
PyObject* register_noop_profiler(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"keep_armed", nullptr};
  int keep_armed = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$p:register_noop_profiler",
                                   const_cast<char**>(keywords), &keep_armed)) {
    return nullptr;
  }
  return py::guard<PyObject*>(nullptr, [keep_armed]() -> PyObject* {
    PyEval_SetProfile(nullptr, nullptr);
    tool().keep_armed = keep_armed != 0;
    unbind_this_thread();
    release_when_idle(tool().bound_threads);
    return Ref::none().release();
  });
}

// Stops keeping the tool armed: it is released now, or when the last bound thread stops.
PyObject* release(PyObject*, PyObject*) {
  tool().keep_armed = false;
  release_when_idle(tool().bound_threads);
  Py_RETURN_NONE;
}

// The tool id held, or None: for tests and for users who want to know which backend runs.
PyObject* tool_id(PyObject*, PyObject*) {
  if (tool().id < 0) Py_RETURN_NONE;
  return PyLong_FromLong(tool().id);
}

// The VexoProfiler that records the calling thread's events, or None.
PyObject* thread_profiler(PyObject*, PyObject*) {
  return Py_NewRef(bound != nullptr ? bound : Py_None);
}

PyObject* release_at_exit(PyObject*, PyObject*) {
  release_tool_reporting_failure();
  Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"register_profiler", py::as_cfunction(register_profiler), METH_VARARGS | METH_KEYWORDS,
     "register_profiler(profiler)\n--\n\n"},
    {"register_noop_profiler", py::as_cfunction(register_noop_profiler),
     METH_VARARGS | METH_KEYWORDS, "register_noop_profiler(*, keep_armed=False)\n--\n\n"},
    {"release", release, METH_NOARGS, "release()\n--\n\n"},
    {"tool_id", tool_id, METH_NOARGS, "tool_id()\n--\n\n"},
    {"thread_profiler", thread_profiler, METH_NOARGS, "thread_profiler()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "vexo._vexo_monitoring",
                                 "Tracing through the interpreter's monitoring interface.", -1,
                                 module_methods};

PyMethodDef release_definition = {"_vexo_release_monitoring", release_at_exit, METH_NOARGS,
                                  nullptr};

// A fork child serves no request of its parent's: what its parent kept armed goes, unless the
// forking thread itself is traced.
PyMethodDef release_in_child_definition = {"_vexo_release_monitoring_in_child", release,
                                           METH_NOARGS, nullptr};

}  // namespace

void create_module() {
  Ref module = py::check(PyModule_Create(&module_definition));
  // Made here, so that both ways of tracing share the one core that _vexo holds.
  Ref modules = py::check(PyObject_GetAttrString(py::import("sys").get(), "modules"));
  py::check_status(PyMapping_SetItemString(modules.get(), "vexo._vexo_monitoring", module.get()));
  Ref atexit = py::import("atexit");
  Ref release = py::check(PyCFunction_New(&release_definition, nullptr));
  py::check(PyObject_CallMethod(atexit.get(), "register", "O", release.get()));
  Ref in_child = py::check(PyCFunction_New(&release_in_child_definition, nullptr));
  Ref register_at_fork =
      py::check(PyObject_GetAttrString(py::import("os").get(), "register_at_fork"));
  Ref keywords = py::check(Py_BuildValue("{sO}", "after_in_child", in_child.get()));
  py::call(register_at_fork.get(), {}, keywords.get());
}

}  // namespace vexo::lib::monitoring

#else

namespace vexo::lib::monitoring {

void create_module() {}

bool arm_for_context_trace(PyObject*) { return false; }

}  // namespace vexo::lib::monitoring

#endif
