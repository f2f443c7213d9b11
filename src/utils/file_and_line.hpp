// "file:line" of a frame, the file made relative to the current directory when below it.
#pragma once

#include <string>
#include <string_view>

#include "py/ref.hpp"

namespace vexo::file_and_line {

// `filename` without the leading components that `cwd` consists of (component-wise), or whole.
std::string relative_to(std::string_view filename, std::string_view cwd);

// Relative to the current directory as it is now; when that cannot be read the name stays
// whole.
// Throws py::Error.
std::string filename_with_lineno(PyFrameObject* frame);
// The same, where `line` is what the frame's line number was found to be (-1 for none).
std::string filename_with_lineno(PyFrameObject* frame, int line);
// The same, written over `text` (whose memory is reused).
void write_filename_with_lineno(PyFrameObject* frame, int line, std::string& text);

}  // namespace vexo::file_and_line
