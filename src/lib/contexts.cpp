#include "lib/contexts.hpp"

#include <cstddef>

#include "lib/hook.hpp"
#include "lib/module_functions.hpp"
#include "lib/monitoring.hpp"
#include "lib/vexo_profiler.hpp"
#include "profiler/request_end.hpp"
#include "py/method.hpp"
#include "py/object.hpp"

namespace vexo::lib::contexts {

namespace {

using py::Ref;

// The context variable, made with the module and never freed; guarded by the interpreter lock,
// as is the count of context traces started and not yet ended.
PyObject* trace_variable = nullptr;
std::size_t live_traces = 0;

// The profile object of the threads that the profile hook serves only for context traces: it
// records nothing of its own (it has no state), so an event outside every context trace ends at
// the first check.
PyObject* router() {
  static PyObject* made = new_vexo_profiler(nullptr).release();  // never freed
  return made;
}

// With the profile hook, a context's events are seen only on threads that have the hook: the
// calling thread gets the router unless it has a hook already (which then routes the same way),
// and so does each thread started later, such as an executor's workers, unless the program gave
// threading a profile function of its own.
void route_through_profile_hook() {
  if (PyThreadState_Get()->c_profilefunc == nullptr) PyEval_SetProfile(profile_callback, router());
  Ref threading = py::import("threading");
  Ref current = Ref::steal(PyObject_GetAttrString(threading.get(), "_profile_hook"));
  if (!current) PyErr_Clear();
  if (!current || current.is_none()) {
    Ref setprofile = py::check(PyObject_GetAttrString(threading.get(), "setprofile"));
    py::call(setprofile.get(), {router()});
  }
}

// Arms the backend for the context trace that `instance` records: the monitoring interface, kept
// armed like a server's per-request profilers, or else the profile hook.
void arm(PyObject* instance, bool monitoring) {
  const bool armed = monitoring && monitoring::arm_for_context_trace(instance);
  if (!armed) route_through_profile_hook();
  reinterpret_cast<VexoProfilerObject*>(instance)->context_by_monitoring = armed;
  ++live_traces;
}

// start(profiler, monitoring): the instance recording the context trace of the package's
// profiler object; the caller puts it in `trace`.
PyObject* start(PyObject*, PyObject* args) {
  PyObject* profiler = nullptr;
  int monitoring = 0;
  if (!PyArg_ParseTuple(args, "Op:start", &profiler, &monitoring)) return nullptr;
  Ref held = Ref::share(profiler);
  return py::guard<PyObject*>(nullptr, [&held, monitoring]() -> PyObject* {
    Ref instance = new_registered_instance(held.get());
    arm(instance.get(), monitoring != 0);
    return instance.release();
  });
}

// prepare(profiler): an instance that records nothing, whose settings and plugins `begin` gives
// each trace it starts.
PyObject* prepare(PyObject*, PyObject* profiler) {
  Ref held = Ref::share(profiler);
  return py::guard<PyObject*>(nullptr, [&held]() -> PyObject* {
    return new_vexo_profiler(profiler::ProfilerState::new_from_python(held.get())).release();
  });
}

// begin(model, source, monitoring): a new trace recording the current context, under the
// settings of `model` (made by `prepare`), put in `trace`: (instance, token, trace id). What a
// server does at each request, in one call.
PyObject* begin(PyObject*, PyObject* args) {
  PyObject* model = nullptr;
  PyObject* source = nullptr;
  int monitoring = 0;
  if (!PyArg_ParseTuple(args, "OUp:begin", &model, &source, &monitoring)) return nullptr;
  return py::guard<PyObject*>(nullptr, [model, source, monitoring]() -> PyObject* {
    if (!is_vexo_profiler(model) ||
        reinterpret_cast<VexoProfilerObject*>(model)->state == nullptr) {
      py::throw_downcast(model, "VexoProfiler");
    }
    const profiler::ProfilerState& settings = *reinterpret_cast<VexoProfilerObject*>(model)->state;
    auto state = profiler::ProfilerState::new_like(settings, py::to_text(source));
    Ref trace_id = py::new_text(state->trace_id.value);
    Ref instance = new_vexo_profiler(std::move(state));
    arm(instance.get(), monitoring != 0);
    Ref token = Ref::steal(PyContextVar_Set(trace_variable, instance.get()));
    if (!token) {
      reinterpret_cast<VexoProfilerObject*>(instance.get())->context_ended = true;
      --live_traces;
      py::throw_error();
    }
    return py::check(PyTuple_Pack(3, instance.get(), token.get(), trace_id.get())).release();
  });
}

// end(instance[, token]): the context trace recorded by `instance` has ended; only the first call
// counts. With the token `trace` was set with, the variable goes back to what it was, where the
// context is still the one it was set in.
PyObject* end(PyObject*, PyObject* args) {
  PyObject* instance = nullptr;
  PyObject* token = nullptr;
  if (!PyArg_ParseTuple(args, "O|O:end", &instance, &token)) return nullptr;
  if (!is_vexo_profiler(instance)) {
    PyErr_SetString(PyExc_TypeError, "end() takes a VexoProfiler");
    return nullptr;
  }
  auto* object = reinterpret_cast<VexoProfilerObject*>(instance);
  if (!object->context_ended) {
    object->context_ended = true;
    --live_traces;
  }
  // A trace ended in another context than it began in (a body read by another thread) leaves
  // the variable to that context, which no longer records into it.
  if (token != nullptr && PyContextVar_Reset(trace_variable, token) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_RuntimeError)) {
      return nullptr;
    }
    PyErr_Clear();
  }
  Py_RETURN_NONE;
}

// end_request(instance, outcome, status, error): the record of how a web request ended, as the
// last record of the trace that `instance` records on the calling thread (a context trace, or a
// thread's): outcome a str, status an int or None, error a str or None.
PyObject* end_request(PyObject*, PyObject* args) {
  PyObject* instance = nullptr;
  PyObject* outcome = nullptr;
  PyObject* status = nullptr;
  PyObject* error = nullptr;
  if (!PyArg_ParseTuple(args, "OUOO:end_request", &instance, &outcome, &status, &error)) {
    return nullptr;
  }
  return py::guard<PyObject*>(nullptr, [instance, outcome, status, error]() -> PyObject* {
    if (!is_vexo_profiler(instance) ||
        reinterpret_cast<VexoProfilerObject*>(instance)->state == nullptr) {
      py::throw_downcast(instance, "VexoProfiler");
    }
    if (status != Py_None && !PyLong_CheckExact(status)) py::throw_downcast(status, "int");
    if (error != Py_None && !PyUnicode_CheckExact(error)) py::throw_downcast(error, "str");
    profiler::push_request_end(*reinterpret_cast<VexoProfilerObject*>(instance)->state, outcome,
                               status, error);
    return py::Ref::none().release();
  });
}

PyMethodDef module_methods[] = {
    {"start", start, METH_VARARGS, "start(profiler, monitoring)\n--\n\n"},
    {"prepare", prepare, METH_O, "prepare(profiler)\n--\n\n"},
    {"begin", begin, METH_VARARGS, "begin(model, source, monitoring)\n--\n\n"},
    {"end", end, METH_VARARGS, "end(instance, token=None)\n--\n\n"},
    {"end_request", end_request, METH_VARARGS,
     "end_request(instance, outcome, status, error)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "vexo._vexo_contexts",
                                 "A server's request traces: traces that follow a context instead "
                                 "of a thread, and how a request ended.",
                                 -1, module_methods};

}  // namespace

py::Ref active_trace(bool by_monitoring) noexcept {
  // A thread that never entered a context has none: nothing to ask (the field is the thread
  // state's public one that PyContextVar_Get reads first).
  if (live_traces == 0 || PyThreadState_GET()->context == nullptr) return {};
  PyObject* value = nullptr;
  // It fails only for an object that is not a context variable, and leaves the error state alone.
  if (PyContextVar_Get(trace_variable, nullptr, &value) < 0 || value == nullptr) return {};
  Ref held = Ref::steal(value);
  if (!is_vexo_profiler(value)) return {};
  const auto* object = reinterpret_cast<VexoProfilerObject*>(value);
  if (object->context_ended || object->context_by_monitoring != by_monitoring) return {};
  return held;
}

void create_module() {
  Ref module = py::check(PyModule_Create(&module_definition));
  if (trace_variable == nullptr) {
    trace_variable = py::check(PyContextVar_New("vexo.trace", nullptr)).release();
  }
  py::check_status(PyModule_AddObjectRef(module.get(), "trace", trace_variable));
  py::check_status(PyModule_AddObjectRef(module.get(), "router", router()));
  Ref modules = py::check(PyObject_GetAttrString(py::import("sys").get(), "modules"));
  py::check_status(PyMapping_SetItemString(modules.get(), "vexo._vexo_contexts", module.get()));
}

}  // namespace vexo::lib::contexts
