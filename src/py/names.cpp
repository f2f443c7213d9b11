#include "py/names.hpp"

#include "py/error.hpp"

namespace vexo::py {

namespace {

PyObject* intern(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) throw Fatal("failed to intern an attribute name");
  return name;
}

Names make_names() {
  Names made{};
#define VEXO_NAME(name) made.name = intern(#name);
#include "py/names.def"
#undef VEXO_NAME
  return made;
}

}  // namespace

const Names& names() {
  // A function-local static is initialised once even when several threads arrive together; the
  // initialising thread holds the interpreter lock throughout and never gives it up.
  static const Names made = make_names();
  return made;
}

}  // namespace vexo::py
