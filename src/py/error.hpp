// The error model.
//
// Three kinds of failure travel as C++ exceptions inside the tracer:
// - `Error`: an interpreter exception, fetched from the interpreter when a C API call failed (or
//   made here), carried up unchanged and restored at the boundary or handed to error reporting;
// - `Fatal`: an internal condition that should never happen; at a boundary it becomes the module's
//   own fatal-error type, derived from BaseException;
// - `Broken`: an interpreter invariant that did not hold; during construction it is raised like a
//   fatal error, during an event it abandons that event only.
// `guard` is the boundary: nothing thrown inside it unwinds into the interpreter.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "py/ref.hpp"

namespace vexo::py {

class Error : public std::exception {
 public:
  // Takes the pending interpreter exception; if none is pending, a SystemError says so.
  static Error fetch() noexcept;
  // Builds a new exception of `type` whose argument is `message`.
  static Error make(PyObject* type, const char* message) noexcept;
  static Error make(PyObject* type, const std::string& message) noexcept {
    return make(type, message.c_str());
  }

  const char* what() const noexcept override { return "interpreter exception"; }

  // The exception instance (normalised, traceback attached).
  PyObject* value() const noexcept { return value_.get(); }
  bool matches(PyObject* type) const noexcept;
  // Makes this the interpreter's pending exception again.
  void restore() const noexcept;

 private:
  explicit Error(Ref value) noexcept : value_(std::move(value)) {}
  Ref value_;
};

class Fatal : public std::exception {
 public:
  explicit Fatal(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

class Broken : public std::exception {
 public:
  explicit Broken(const char* message) noexcept : message_(message) {}
  const char* what() const noexcept override { return message_; }

 private:
  const char* message_;
};

// Throws the pending interpreter exception.
[[noreturn]] void throw_error();
[[noreturn]] void throw_error(PyObject* type, const char* message);

// Checks the result of a C API call that returns a new reference.
inline Ref check(PyObject* result) {
  if (result == nullptr) throw_error();
  return Ref::steal(result);
}
// Checks the result of a C API call that returns -1 on failure.
inline int check_status(int status) {
  if (status < 0) throw_error();
  return status;
}

// The fatal-error type: lives at vexo._vexo, derives from BaseException, is not in the namespace.
PyObject* fatal_error_type() noexcept;

// Sets the pending interpreter exception for whatever was thrown, at an interpreter boundary.
void raise_current_exception() noexcept;

// What the exception being handled says went wrong inside the tracer. Only called in a handler;
// the text lives as long as that handler.
const char* internal_failure() noexcept;

template <class Result, class Body>
Result guard(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return failure;
  }
}

}  // namespace vexo::py
