// Whether the calling thread has a profile hook, which sys.getprofile() cannot tell for a hook
// installed from C without a profile object.
#include "testing.hpp"

namespace vexo::testing {

namespace {

PyObject* thread_has_profile_hook(PyObject*, PyObject*) {
  return PyBool_FromLong(PyThreadState_Get()->c_profilefunc != nullptr);
}

const Register registered{
    {"thread_has_profile_hook", thread_has_profile_hook, METH_NOARGS, nullptr},
};

}  // namespace

}  // namespace vexo::testing
