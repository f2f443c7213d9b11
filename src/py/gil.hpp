// Scopes around the interpreter lock.
#pragma once

#include "py/python.hpp"

namespace vexo::py {

// Makes sure the calling thread holds the interpreter lock for the scope.
class GilScope {
 public:
  GilScope() noexcept : state_(PyGILState_Ensure()) {}
  ~GilScope() { PyGILState_Release(state_); }
  GilScope(const GilScope&) = delete;
  GilScope& operator=(const GilScope&) = delete;

 private:
  PyGILState_STATE state_;
};

// Gives the interpreter lock up for the scope, so other threads can run while this one waits.
class AllowThreads {
 public:
  AllowThreads() noexcept : saved_(PyEval_SaveThread()) {}
  ~AllowThreads() { PyEval_RestoreThread(saved_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* saved_;
};

// Keeps the pending exception (if any) aside for the scope and puts it back at its end, whatever
// the code in between did with the error indicator.
class ErrorStateGuard {
 public:
  ErrorStateGuard() noexcept;
  ~ErrorStateGuard();
  ErrorStateGuard(const ErrorStateGuard&) = delete;
  ErrorStateGuard& operator=(const ErrorStateGuard&) = delete;

 private:
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* raised_;
#else
  PyObject* type_;
  PyObject* value_;
  PyObject* traceback_;
#endif
};

inline ErrorStateGuard::ErrorStateGuard() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  raised_ = PyErr_GetRaisedException();
#else
  PyErr_Fetch(&type_, &value_, &traceback_);
#endif
}

inline ErrorStateGuard::~ErrorStateGuard() {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(raised_);
#else
  PyErr_Restore(type_, value_, traceback_);
#endif
}

}  // namespace vexo::py
