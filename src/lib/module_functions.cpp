#include "lib/module_functions.hpp"

#include "lib/contexts.hpp"
#include "lib/hook.hpp"
#include "lib/monitoring.hpp"
#include "lib/shutdown.hpp"
#include "lib/vexo_profiler.hpp"
#include "py/method.hpp"
#include "py/object.hpp"
#include "utils/current_directory.hpp"

namespace vexo::lib {

namespace {

using py::Ref;

// Whether the configuration's "threading" item is a true bool; any failure counts as not set.
bool threading_requested(PyObject* config) {
  PyObject* value = PyObject_GetItem(config, py::names().threading);
  if (value == nullptr) {
    PyErr_Clear();
    return false;
  }
  Ref held = Ref::steal(value);
  try {
    return py::to_bool_strict(held.get());
  } catch (const py::Error&) {
    return false;
  }
}

Ref register_profiler_body(PyObject* profiler) {
  Ref instance = new_registered_instance(profiler);
  PyEval_SetProfile(profile_callback, instance.get());
  Ref hook = py::getattr(instance.get(), py::names().register_threading_profiler);
  trace_later_threads(profiler, hook.get());
  return Ref::none();
}

PyObject* register_profiler(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_register_profiler(args, kwargs, register_profiler_body);
}

// Removes the calling thread's hook: a hook left in place, even one that does nothing, would
// still cost every later call and return of the thread (and on 3.12+ keep the interpreter's
// profiling events on for every thread).
PyObject* register_noop_profiler(PyObject*, PyObject*) {
  PyEval_SetProfile(nullptr, nullptr);
  Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {"register_profiler", py::as_cfunction(register_profiler), METH_VARARGS | METH_KEYWORDS,
     "register_profiler(profiler)\n--\n\n"},
    {"register_noop_profiler", register_noop_profiler, METH_NOARGS,
     "register_noop_profiler()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "_vexo", "", -1, module_methods};

}  // namespace

Ref new_registered_instance(PyObject* profiler) {
  if (!PyCallable_Check(profiler)) {
    py::throw_error(PyExc_TypeError, "profiler object is not callable");
  }
  Ref instance = new_vexo_profiler(profiler::ProfilerState::new_from_python(profiler));
  py::check_status(PyObject_SetAttr(profiler, py::names().rust_profiler, instance.get()));
  return instance;
}

PyObject* call_register_profiler(PyObject* args, PyObject* kwargs, py::Ref (*body)(PyObject*)) {
  static const char* keywords[] = {"profiler", nullptr};
  PyObject* profiler = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:register_profiler",
                                   const_cast<char**>(keywords), &profiler)) {
    return nullptr;
  }
  Ref held = Ref::share(profiler);
  return py::guard<PyObject*>(nullptr, [&held, body]() { return body(held.get()).release(); });
}

void trace_later_threads(PyObject* profiler, PyObject* hook) {
  const py::Names& names = py::names();
  Ref config = py::getattr(profiler, names.config);
  if (!threading_requested(config.get())) return;
  Ref threading = py::import("threading");
  py::call(py::getattr(threading.get(), names.setprofile).get(), {hook});
}

PyObject* create_module() noexcept {
  return py::guard<PyObject*>(nullptr, []() -> PyObject* {
    py::names();
    py::fatal_error_type();
    vexo_profiler_type();
    shutdown::watch_interpreter_exit();
    current_directory::watch_changes();
    Ref module = py::check(PyModule_Create(&module_definition));
    monitoring::create_module();
    contexts::create_module();
    return module.release();
  });
}

}  // namespace vexo::lib
