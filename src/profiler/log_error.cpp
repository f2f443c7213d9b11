#include "profiler/log_error.hpp"

#include "py/frames.hpp"
#include "py/object.hpp"

namespace vexo::profiler {

namespace {

constexpr const char* kWarningFormat =
    "Unexpected exception in Rust.\n"
    "    co_filename: %s\n"
    "    co_name: %s\n"
    "    event: %s\n"
    "    frame locals: %s\n";

void warn(PyFrameObject* frame, const py::Error& error, const char* event, PyObject* co_filename,
          PyObject* co_name) {
  const py::Names& names = py::names();
  py::Ref get_logger = py::import_attribute("logging", names.getLogger);
  py::Ref logger_name = py::new_text("vexo");
  py::Ref logger = py::call(get_logger.get(), {logger_name.get()});
  py::Ref locals = py::frame_locals(frame);
  py::Ref kwargs = py::check(PyDict_New());
  py::dict_set(kwargs.get(), names.exc_info, error.value());
  py::Ref warning = py::getattr(logger.get(), names.warning);
  py::Ref format = py::new_text(kWarningFormat);
  py::Ref event_text = py::new_text(event);
  py::call(warning.get(), {format.get(), co_filename, co_name, event_text.get(), locals.get()},
           kwargs.get());
}

}  // namespace

void log_error(PyFrameObject* frame, const py::Error& error, const char* event,
               PyObject* co_filename, PyObject* co_name) noexcept {
  try {
    warn(frame, error, event, co_filename, co_name);
  } catch (const py::Error& failure) {
    failure.restore();
    PyErr_WriteUnraisable(error.value());
  } catch (...) {
    py::raise_current_exception();
    PyErr_WriteUnraisable(error.value());
  }
}

void report_abandoned_event(const char* message, PyObject* context) noexcept {
  PyErr_Format(PyExc_SystemError, "vexo abandoned a profile event: %s", message);
  PyErr_WriteUnraisable(context);
}

}  // namespace vexo::profiler
