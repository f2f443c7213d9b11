// The dotted name under which a frame's function can be found, module first.
#pragma once

#include <optional>
#include <string>

#include "py/ref.hpp"

namespace vexo::qualname {

// Absent when no name can be found; throws py::Error for the failures that stay errors.
std::optional<std::string> get_qualname(PyFrameObject* frame);

}  // namespace vexo::qualname
