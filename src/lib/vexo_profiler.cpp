#include "lib/vexo_profiler.hpp"

#include <cstddef>
#include <utility>

#include "lib/hook.hpp"
#include "lib/shutdown.hpp"
#include "profiler/buffers.hpp"
#include "profiler/document.hpp"
#include "profiler/save.hpp"
#include "py/frames.hpp"
#include "py/method.hpp"
#include "py/object.hpp"

namespace vexo::lib {

namespace {

profiler::ProfilerState& state_of(PyObject* self) {
  if (!is_vexo_profiler(self)) py::throw_downcast(self, "VexoProfiler");
  profiler::ProfilerState& state = *reinterpret_cast<VexoProfilerObject*>(self)->state;
  state.renew_after_fork();
  return state;
}

PyObject* save_request_in_db(PyObject* self, PyObject*) {
  return py::guard<PyObject*>(nullptr, [self]() -> PyObject* {
    // The save runs interpreter code, which can give the interpreter lock away.
    shutdown::WorkInProgress work;
    profiler::save_in_db(state_of(self));
    return py::Ref::none().release();
  });
}

PyObject* build_trace(PyObject* self, PyObject*) {
  return py::guard<PyObject*>(nullptr, [self]() -> PyObject* {
    return profiler::build_trace_inner(state_of(self)).release();
  });
}

PyObject* register_threading_profiler(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"_frame", "_event", "_arg", nullptr};
    PyObject* frame = nullptr;
    PyObject* event = nullptr;
    PyObject* arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:register_threading_profiler",
                                     const_cast<char**>(keywords), &frame, &event, &arg)) {
      return nullptr;
    }
    profiler::ProfilerState& state = state_of(self);
    PyEval_SetProfile(profile_callback, self);
    remember_thread_identity(state);
    return py::Ref::none().release();
  });
}

// The instance as a Python-level profile function. A program that saves the hook with
// sys.getprofile() and later puts it back with sys.setprofile() hands us exactly that: its first
// event puts the C-level hook back in place, and is processed as the hook would have processed it.
PyObject* call_as_profile_function(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"frame", "event", "arg", nullptr};
    PyObject* frame = nullptr;
    PyObject* event = nullptr;
    PyObject* arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:VexoProfiler", const_cast<char**>(keywords),
                                     &frame, &event, &arg)) {
      return nullptr;
    }
    // The router of context traces has no state of its own (see lib/contexts.cpp).
    if (!is_vexo_profiler(self)) py::throw_downcast(self, "VexoProfiler");
    if (reinterpret_cast<VexoProfilerObject*>(self)->state != nullptr) state_of(self);
    PyEval_SetProfile(profile_callback, self);
    int what = -1;
    if (PyUnicode_Check(event)) {
      if (PyUnicode_CompareWithASCIIString(event, "call") == 0) what = PyTrace_CALL;
      if (PyUnicode_CompareWithASCIIString(event, "return") == 0) what = PyTrace_RETURN;
    }
    if (what >= 0 && py::is_frame(frame) &&
        profile_callback(self, reinterpret_cast<PyFrameObject*>(frame), what, arg) < 0) {
      return nullptr;
    }
    return py::Ref::none().release();
  });
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
  auto* object = reinterpret_cast<VexoProfilerObject*>(self);
  Py_VISIT(Py_TYPE(self));
  return object->state != nullptr ? object->state->traverse(visit, arg) : 0;
}

int clear(PyObject* self) {
  auto* object = reinterpret_cast<VexoProfilerObject*>(self);
  if (object->state != nullptr) object->state->clear_references();
  return 0;
}

void free_shell(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Before 3.12 the interpreter reads a thread's profile object before it makes the frame object
// for an event, and calls the hook with it afterwards. Making the frame can run a collection whose
// finalizers drop the hook, and with it the last reference to the instance: the hook is then
// called with an instance already freed. So the instance's own memory (a few dozen bytes, the
// state is gone) is kept for a while, and the hook ignores an instance without a state; the
// oldest kept instances are freed as new ones come, long after any event that read them.
void keep_shell(PyObject* self) {
  constexpr std::size_t kShellsKept = 16;
  static PyObject* shells[kShellsKept] = {};  // guarded by the interpreter lock
  static std::size_t next = 0;
  PyObject* oldest = std::exchange(shells[next], self);
  next = (next + 1) % kShellsKept;
  if (oldest != nullptr) free_shell(oldest);
}

void dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  auto* object = reinterpret_cast<VexoProfilerObject*>(self);
  {
    // Destroying the state releases the interpreter references it holds.
    py::ErrorStateGuard error_state;
    delete object->state;
    object->state = nullptr;
  }
  keep_shell(self);
}

PyMethodDef methods[] = {
    {"save_request_in_db", save_request_in_db, METH_NOARGS, "save_request_in_db($self)\n--\n\n"},
    {"build_trace", build_trace, METH_NOARGS, "build_trace($self)\n--\n\n"},
    {"register_threading_profiler", py::as_cfunction(register_threading_profiler),
     METH_VARARGS | METH_KEYWORDS,
     "register_threading_profiler($self, _frame, _event, _arg)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_call, reinterpret_cast<void*>(call_as_profile_function)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "vexo._vexo.VexoProfiler",
    sizeof(VexoProfilerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    slots,
};

}  // namespace

void remember_thread_identity(profiler::ProfilerState& state) noexcept {
  try {
    profiler::cached_thread_info(state);
  } catch (const py::Error&) {
  }
}

PyTypeObject* vexo_profiler_type() {
  // Made once per process with the interpreter lock held, and never freed.
  static PyTypeObject* type = []() -> PyTypeObject* {
    PyObject* made = PyType_FromSpec(&spec);
    if (made == nullptr) PyErr_Clear();
    return reinterpret_cast<PyTypeObject*>(made);
  }();
  if (type == nullptr) throw py::Fatal("failed to create type object for VexoProfiler");
  return type;
}

bool is_vexo_profiler(PyObject* object) noexcept {
  try {
    return PyObject_TypeCheck(object, vexo_profiler_type());
  } catch (...) {
    return false;
  }
}

py::Ref new_vexo_profiler(std::unique_ptr<profiler::ProfilerState> state) {
  PyTypeObject* type = vexo_profiler_type();
  PyObject* made = type->tp_alloc(type, 0);
  if (made == nullptr) {
    PyErr_Clear();
    throw py::Fatal("failed to allocate a VexoProfiler");
  }
  reinterpret_cast<VexoProfilerObject*>(made)->state = state.release();
  return py::Ref::steal(made);
}

}  // namespace vexo::lib
