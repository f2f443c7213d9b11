// attrs runs the methods it generates from its own module, sometimes through one intermediate
// frame compiled without a file name; such frames are the library's, not the user's.
#include <string_view>

#include "filters/frame_filter.hpp"
#include "py/convert.hpp"
#include "py/frames.hpp"

namespace vexo::filters {

namespace {

constexpr std::string_view kAttrsMake = "attr/_make.py";

PyFrameObject* as_frame(const py::Ref& frame) noexcept {
  return reinterpret_cast<PyFrameObject*>(frame.get());
}

// The calling frame, or None.
py::Ref caller_of(PyFrameObject* frame) {
  py::Ref caller = py::frame_back(frame);
  if (!caller) throw py::Broken("A frame has an `f_back` attribute.");
  return caller;
}

py::Ref code_of(PyFrameObject* frame) {
  py::Ref code = py::frame_code(frame);
  if (!code) throw py::Broken("A frame has a code object.");
  return code;
}

// The code's file name as UTF-8; the view lives as long as the code object. A str that has no
// UTF-8 form (lone surrogates) fails with the interpreter's encoding error.
std::string_view filename_of(const py::Ref& code) {
  PyObject* filename = py::code_filename(code.get());
  if (filename == nullptr) throw py::Broken("A code object has a filename.");
  if (!PyUnicode_Check(filename)) throw py::Broken("A filename is a string.");
  return py::text_view(filename);
}

}  // namespace

bool attrs_filter(PyFrameObject* frame) {
  py::Ref caller = caller_of(frame);
  if (caller.is_none()) return false;
  py::Ref code = code_of(as_frame(caller));
  std::string_view filename = filename_of(code);
  if (!filename.empty()) return filename.ends_with(kAttrsMake);
  // A caller without a file name stands between attrs and the frame: look one frame further,
  // and no more.
  py::Ref next = caller_of(as_frame(caller));
  if (next.is_none()) return false;
  py::Ref next_code = code_of(as_frame(next));
  return filename_of(next_code).ends_with(kAttrsMake);
}

}  // namespace vexo::filters
