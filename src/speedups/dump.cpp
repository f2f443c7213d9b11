#include "speedups/dump.hpp"

#include <new>

#include "py/error.hpp"
#include "speedups/texts.hpp"

namespace vexo::speedups {

namespace {

// msgpack.packb("<unserializable value>"), for when even the fallback text cannot be made.
constexpr char kLastResort[] = "\xb6<unserializable value>";

using ByteView = std::span<const std::uint8_t>;

py::Error memory_error() noexcept {
  PyErr_NoMemory();
  return py::Error::fetch();
}

// The text saying why the value could not be dumped, handed to `keep`; the last resort when even
// that cannot be made. False, with the exception set, as for dump_with.
template <class Keep>
bool keep_fallback(PyObject* value, const py::Error& error, Keep& keep) noexcept {
  try {
    Output out;
    write_text(out, unserializable_text(value, error.value()).get());
    keep(out.bytes(0, out.size()));
    return true;
  } catch (const py::Error& failure) {
    if (!failure.matches(PyExc_Exception)) {
      failure.restore();
      return false;
    }
  } catch (...) {
    // Nothing more can be shown.
  }
  try {
    keep(ByteView(reinterpret_cast<const std::uint8_t*>(kLastResort), sizeof kLastResort - 1));
    return true;
  } catch (const PackFailed& failure) {
    failure.error.restore();
  } catch (...) {
    PyErr_NoMemory();
  }
  return false;
}

// One dump handed to `keep`, which makes the bytes object or copies the bytes out (and throws
// PackFailed or std::bad_alloc when it cannot): the walk's bytes, or when the walk cannot finish,
// the text saying so. False, with the exception set, only for a BaseException that is not an
// Exception, or when not even the last resort can be kept.
template <class Keep>
bool dump_with(PyObject* value, const Limits& limits, const TracePlace* place,
               Keep&& keep) noexcept {
  try {
    Output out;
    Walk walk(limits, out, place);
    walk.top(value);
    keep(out.bytes(0, out.size()));
    return true;
  } catch (const py::Error& error) {
    if (!error.matches(PyExc_Exception)) {
      error.restore();
      return false;
    }
    return keep_fallback(value, error, keep);
  } catch (const PackFailed& failure) {
    return keep_fallback(value, failure.error, keep);
  } catch (const std::bad_alloc&) {
    return keep_fallback(value, memory_error(), keep);
  } catch (...) {
    py::raise_current_exception();
    return false;
  }
}

}  // namespace

PyObject* dump(PyObject* value, const Limits& limits) noexcept {
  return dump_in_trace(value, limits, nullptr);
}

PyObject* dump_in_trace(PyObject* value, const Limits& limits, const TracePlace* place) noexcept {
  PyObject* made = nullptr;
  auto keep = [&made](ByteView bytes) {
    made = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
    if (made == nullptr) throw PackFailed{py::Error::fetch()};
  };
  return dump_with(value, limits, place, keep) ? made : nullptr;
}

bool dump_in_trace_into(PyObject* value, const Limits& limits, const TracePlace* place,
                        msgpack::Bytes& out) noexcept {
  return dump_with(value, limits, place,
                   [&out](ByteView bytes) { out.assign(bytes.begin(), bytes.end()); });
}

}  // namespace vexo::speedups
