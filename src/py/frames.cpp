#include "py/frames.hpp"

#include "py/error.hpp"
#include "py/names.hpp"

namespace vexo::py {

Ref frame_locals(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
  return check(PyFrame_GetLocals(frame));
#else
  return check(PyObject_GetAttr(reinterpret_cast<PyObject*>(frame), names().f_locals));
#endif
}

Ref frame_globals(PyFrameObject* frame) {
#if PY_VERSION_HEX >= 0x030B0000
  return check(PyFrame_GetGlobals(frame));
#else
  return check(PyObject_GetAttr(reinterpret_cast<PyObject*>(frame), names().f_globals));
#endif
}

}  // namespace vexo::py
