// How the tracer reads a frame's variables.
#include "py/frames.hpp"
#include "testing.hpp"

namespace vexo::testing {

namespace {

// frame_locals_copy(frame): the dict a record shows as the frame's locals.
PyObject* frame_locals_copy(PyObject*, PyObject* frame) {
  return run([&] {
    if (!py::is_frame(frame)) {
      PyErr_SetString(PyExc_TypeError, "a frame is needed");
      py::throw_error();
    }
    return py::frame_locals_copy(reinterpret_cast<PyFrameObject*>(frame));
  });
}

const Register registered{
    {"frame_locals_copy", frame_locals_copy, METH_O, nullptr},
};

}  // namespace

}  // namespace vexo::testing
