#pragma once

#include "py/ref.hpp"

namespace vexo::lib {

// Checks that the package's profiler object is callable, builds its state and instance and sets
// its `rust_profiler`; the instance. Throws py::Error or py::Fatal.
py::Ref new_registered_instance(PyObject* profiler);

// register_profiler(profiler) of either backend: parses the one argument, keeps it alive and runs
// `body` on it behind the interpreter boundary; what `body` returns, or nullptr with an exception.
PyObject* call_register_profiler(PyObject* args, PyObject* kwargs, py::Ref (*body)(PyObject*));

// Hands `hook` to threading.setprofile when the profiler's configuration asks for later threads.
void trace_later_threads(PyObject* profiler, PyObject* hook);

// Builds the module object (its two functions, nothing else in the namespace).
PyObject* create_module() noexcept;

}  // namespace vexo::lib
