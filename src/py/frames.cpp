#include "py/frames.hpp"

#include "py/error.hpp"
#include "py/names.hpp"

namespace vexo::py {

namespace {

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
// The leading fields of a frame object, as these interpreters lay them out. The struct is
// internal; only f_lineno is read, which is nonzero when the frame reports a line of its own.
struct FrameObjectHead {
  PyObject_HEAD
  PyFrameObject* f_back;
  void* f_frame;
  PyObject* f_trace;
  int f_lineno;
};
#endif

}  // namespace

int frame_line_offset(PyFrameObject* frame) noexcept {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
  if (reinterpret_cast<const FrameObjectHead*>(frame)->f_lineno != 0) return -1;
  return PyFrame_GetLasti(frame);
#elif PY_VERSION_HEX < 0x030B0000
  if (frame->f_trace != nullptr || frame->f_lasti < 0) return -1;
  return frame->f_lasti * 2;
#else
  (void)frame;
  return -1;
#endif
}

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
