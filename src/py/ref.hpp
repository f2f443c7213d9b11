// Owned and borrowed references to interpreter objects.
//
// Every interpreter object the tracer keeps is held by a `Ref`, which releases its reference when
// it goes away; nothing outside this folder calls Py_INCREF or Py_DECREF. References are only ever
// created, copied and destroyed while the interpreter lock is held.
#pragma once

#include <utility>

#include "py/python.hpp"

namespace vexo::py {

class Borrowed {
 public:
  Borrowed() noexcept = default;
  Borrowed(PyObject* object) noexcept : object_(object) {}  // NOLINT: implicit on purpose

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  bool is(PyObject* other) const noexcept { return object_ == other; }
  bool is_none() const noexcept { return object_ == Py_None; }

 private:
  PyObject* object_ = nullptr;
};

class Ref {
 public:
  Ref() noexcept = default;
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a reference the caller owns (the result of a "new reference" API).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Takes a new reference to an object borrowed from elsewhere.
  static Ref share(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }
  static Ref share(Borrowed object) noexcept { return share(object.get()); }
  static Ref none() noexcept { return share(Py_None); }

  Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }

  PyObject* get() const noexcept { return object_; }
  Borrowed borrow() const noexcept { return Borrowed(object_); }
  operator Borrowed() const noexcept { return Borrowed(object_); }  // NOLINT
  explicit operator bool() const noexcept { return object_ != nullptr; }
  bool is(PyObject* other) const noexcept { return object_ == other; }
  bool is_none() const noexcept { return object_ == Py_None; }

  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  void reset() noexcept { Py_CLEAR(object_); }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace vexo::py
