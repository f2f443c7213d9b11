// Method tables take every C function as PyCFunction; the cast goes through void(*)() so that
// functions taking keywords can stand there without a warning.
#pragma once

#include "py/python.hpp"

namespace vexo::py {

template <class Function>
PyCFunction as_cfunction(Function function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace vexo::py
