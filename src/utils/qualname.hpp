// The dotted name under which a frame's function can be found, module first.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "py/ref.hpp"

namespace vexo::qualname {

// Absent when no name can be found; throws py::Error for the failures that stay errors.
std::optional<std::string> get_qualname(PyFrameObject* frame);
// The same, as a view that stays valid until the next call (only made with the interpreter lock
// held): from 3.11 on, the joined name of a code object is remembered.
std::optional<std::string_view> qualname_of(PyFrameObject* frame);

// The search that interpreters whose code objects lack `co_qualname` rely on. Built on every
// interpreter so that it can be tested everywhere.
std::optional<std::string> search_qualname(PyFrameObject* frame);
// Looks the function named `co_name` up in the caller's locals, on `self` or `cls`, in the class
// body being run and in the module, in this order.
std::optional<std::string> get_qualname_inner(PyFrameObject* frame, PyObject* co_name);

}  // namespace vexo::qualname
