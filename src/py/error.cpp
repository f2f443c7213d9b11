#include "py/error.hpp"

namespace vexo::py {

namespace {

#if PY_VERSION_HEX >= 0x030C0000
Ref take_raised() noexcept { return Ref::steal(PyErr_GetRaisedException()); }
#else
Ref take_raised() noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return Ref();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
}
#endif

}  // namespace

Error Error::fetch() noexcept {
  Ref value = take_raised();
  if (!value) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    value = take_raised();
  }
  return Error(std::move(value));
}

Error Error::make(PyObject* type, const char* message) noexcept {
  PyErr_SetString(type, message);
  return fetch();
}

bool Error::matches(PyObject* type) const noexcept {
  return value_ && PyErr_GivenExceptionMatches(value_.get(), type);
}

void Error::restore() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(Ref(value_).release());
#else
  PyObject* value = value_.get();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  PyObject* traceback = PyException_GetTraceback(value);  // new reference or NULL
  Py_INCREF(type);
  Py_INCREF(value);
  PyErr_Restore(type, value, traceback);
#endif
}

void throw_error() { throw Error::fetch(); }

void throw_error(PyObject* type, const char* message) { throw Error::make(type, message); }

PyObject* fatal_error_type() noexcept {
  // Created once per process with the interpreter lock held; never freed.
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "vexo._vexo.VexoFatalError", "An internal error of the tracer that should never happen.",
      PyExc_BaseException, nullptr);
  return type;
}

namespace {
void set_fatal(const char* message) noexcept {
  PyObject* type = fatal_error_type();
  PyErr_SetString(type != nullptr ? type : PyExc_SystemError, message);
}
}  // namespace

const char* internal_failure() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& other) {
    return other.what();
  } catch (...) {
    return "unknown internal error";
  }
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const Error& error) {
    error.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    set_fatal(internal_failure());
  }
}

}  // namespace vexo::py
