// Changes of directory that the interpreter does not announce, as a C extension could make them.
#include <unistd.h>

#include <cerrno>

#include "py/convert.hpp"
#include "testing.hpp"

namespace vexo::testing {

namespace {

// chdir_unannounced(path): chdir(2) without the interpreter's audit event.
PyObject* chdir_unannounced(PyObject*, PyObject* path) {
  return run([&] {
    const std::string target = py::to_text(path);
    if (::chdir(target.c_str()) != 0) {
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
      py::throw_error();
    }
    return py::Ref::none();
  });
}

const Register registered{
    {"chdir_unannounced", chdir_unannounced, METH_O, nullptr},
};

}  // namespace

}  // namespace vexo::testing
