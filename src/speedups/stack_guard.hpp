// One container level of a dump counted against the interpreter's recursion limits.
//
// The interpreter's own check protects the C stack. The Python walk spends three Python frames on
// every container level (value, container, mapping or sequence), so near the recursion limit it
// gives "nested too deep" instead of the container; charging the same frames against what was left
// when the dump started keeps both walks alike there. The frames are only counted, never taken.
#pragma once

#include <cstddef>

#include "py/error.hpp"

namespace vexo::speedups {

// Python frames this thread may still push before the recursion limit.
inline long python_frames_left() noexcept {
  PyThreadState* thread = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
  return thread->py_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
  return thread->recursion_remaining;
#else
  return static_cast<long>(Py_GetRecursionLimit()) - thread->recursion_depth;
#endif
}

class StackGuard {
 public:
  static constexpr long kFramesPerLevel = 3;

  // `frames_left`: python_frames_left() when the dump started; `open_levels`: the containers of
  // this dump already being read.
  StackGuard(long frames_left, std::size_t open_levels) {
    if (frames_left <= kFramesPerLevel * static_cast<long>(open_levels + 1)) {
      py::throw_error(PyExc_RecursionError,
                      "maximum recursion depth exceeded while dumping a value");
    }
    if (Py_EnterRecursiveCall(" while dumping a value") != 0) py::throw_error();
  }
  ~StackGuard() { Py_LeaveRecursiveCall(); }

  StackGuard(const StackGuard&) = delete;
  StackGuard& operator=(const StackGuard&) = delete;
};

}  // namespace vexo::speedups
