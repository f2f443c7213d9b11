// Frame and code accessors that hide the differences between interpreter versions.
//
// Each returns the same object that reading the attribute from Python would give.
#pragma once

#include "py/ref.hpp"

namespace vexo::py {

inline bool is_frame(PyObject* object) noexcept { return PyFrame_Check(object); }

// frame.f_code (never fails on a real frame).
inline Ref frame_code(PyFrameObject* frame) noexcept {
  return Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
}
// frame.f_back, or None.
inline Ref frame_back(PyFrameObject* frame) noexcept {
  PyFrameObject* back = PyFrame_GetBack(frame);
  return back != nullptr ? Ref::steal(reinterpret_cast<PyObject*>(back)) : Ref::none();
}
// frame.f_lineno, where the frame has a line; -1 where the attribute would give None.
inline int frame_lineno(PyFrameObject* frame) noexcept { return PyFrame_GetLineNumber(frame); }
// The byte offset of the frame's last instruction when frame_lineno() is a function of the code and
// that offset alone, which callers may then remember; -1 when the frame reports a line of its own
// (set by a trace function, or by a jump) or has not started.
int frame_line_offset(PyFrameObject* frame) noexcept;
// frame.f_locals: a dict up to 3.12; from 3.13 a write-through proxy on function frames.
Ref frame_locals(PyFrameObject* frame);
// The items frame.f_locals would show, read without writing to the frame: up to 3.12, f_locals
// copies a function's variables into a dict that the frame keeps, which holds on to values the
// program has since deleted or cleared (their finalizers run late) and changes any dict the
// program got from locals(); from 3.13 on it is a proxy that looks each name up again. For a
// function frame, a new dict; for other frames (and where the variables are not laid out as
// expected), what f_locals gives.
Ref frame_locals_copy(PyFrameObject* frame);
// frame.f_globals.
Ref frame_globals(PyFrameObject* frame);

// code.co_filename and code.co_name, borrowed from the code object.
inline PyObject* code_filename(PyObject* code) noexcept {
  return reinterpret_cast<PyCodeObject*>(code)->co_filename;
}
inline PyObject* code_name(PyObject* code) noexcept {
  return reinterpret_cast<PyCodeObject*>(code)->co_name;
}

}  // namespace vexo::py
