#include "speedups/dump.hpp"

#include <new>

#include "py/error.hpp"
#include "speedups/texts.hpp"

namespace vexo::speedups {

namespace {

// msgpack.packb("<unserializable value>"), for when even the fallback text cannot be made.
constexpr char kLastResort[] = "\xb6<unserializable value>";

py::Ref bytes_of(const Output& out) {
  auto all = out.bytes(0, out.size());
  PyObject* made = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(all.data()),
                                             static_cast<Py_ssize_t>(all.size()));
  if (made == nullptr) throw PackFailed{py::Error::fetch()};
  return py::Ref::steal(made);
}

py::Ref walked(PyObject* value, const Limits& limits, const TracePlace* place) {
  Output out;
  Walk walk(limits, out, place);
  walk.top(value);
  return bytes_of(out);
}

py::Error memory_error() noexcept {
  PyErr_NoMemory();
  return py::Error::fetch();
}

PyObject* fallback(PyObject* value, const py::Error& error) noexcept {
  try {
    Output out;
    write_text(out, unserializable_text(value, error.value()).get());
    return bytes_of(out).release();
  } catch (const py::Error& failure) {
    if (!failure.matches(PyExc_Exception)) {
      failure.restore();
      return nullptr;
    }
  } catch (...) {
    // Nothing more can be shown.
  }
  return PyBytes_FromStringAndSize(kLastResort, sizeof kLastResort - 1);
}

}  // namespace

PyObject* dump(PyObject* value, const Limits& limits) noexcept {
  return dump_in_trace(value, limits, nullptr);
}

PyObject* dump_in_trace(PyObject* value, const Limits& limits, const TracePlace* place) noexcept {
  try {
    return walked(value, limits, place).release();
  } catch (const py::Error& error) {
    if (!error.matches(PyExc_Exception)) {
      error.restore();
      return nullptr;
    }
    return fallback(value, error);
  } catch (const PackFailed& failure) {
    return fallback(value, failure.error);
  } catch (const std::bad_alloc&) {
    return fallback(value, memory_error());
  } catch (...) {
    py::raise_current_exception();
    return nullptr;
  }
}

}  // namespace vexo::speedups
