// The dotted name under which a frame's function can be found, module first.
#pragma once

#include <optional>
#include <string>

#include "py/ref.hpp"

namespace vexo::qualname {

// Absent when no name can be found; throws py::Error for the failures that stay errors.
std::optional<std::string> get_qualname(PyFrameObject* frame);

// The search that interpreters whose code objects lack `co_qualname` rely on. Built on every
// interpreter so that it can be tested everywhere.
std::optional<std::string> search_qualname(PyFrameObject* frame);
// Looks the function named `co_name` up in the caller's locals, on `self` or `cls`, in the class
// body being run and in the module, in this order.
std::optional<std::string> get_qualname_inner(PyFrameObject* frame, PyObject* co_name);

}  // namespace vexo::qualname
