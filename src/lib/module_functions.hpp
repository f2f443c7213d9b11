#pragma once

#include "py/python.hpp"

namespace vexo::lib {

// Builds the module object (its two functions, nothing else in the namespace).
PyObject* create_module() noexcept;

}  // namespace vexo::lib
