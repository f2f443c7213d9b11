// Attribute and key names as interned interpreter strings, made once per process and never freed.
#pragma once

#include "py/python.hpp"

namespace vexo::py {

struct Names {
#define VEXO_NAME(name) PyObject* name;
#include "py/names.def"
#undef VEXO_NAME
};

// Made on first use, with the interpreter lock held.
const Names& names();

}  // namespace vexo::py
