#include "profiler/log_error.hpp"

#include <string>
#include <utility>
#include <vector>

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

py::Ref vexo_warning() {
  const py::Names& names = py::names();
  py::Ref get_logger = py::import_attribute("logging", names.getLogger);
  py::Ref logger_name = py::new_text("vexo");
  py::Ref logger = py::call(get_logger.get(), {logger_name.get()});
  return py::getattr(logger.get(), names.warning);
}

void warn(PyFrameObject* frame, const py::Error& error, const char* event, PyObject* co_filename,
          PyObject* co_name) {
  py::Ref warning = vexo_warning();
  py::Ref locals = py::frame_locals(frame);
  py::Ref kwargs = py::check(PyDict_New());
  py::dict_set(kwargs.get(), py::names().exc_info, error.value());
  py::Ref format = py::new_text(kWarningFormat);
  py::Ref event_text = py::new_text(event);
  py::call(warning.get(), {format.get(), co_filename, co_name, event_text.get(), locals.get()},
           kwargs.get());
}

// Text that any string gives, lone surrogates escaped.
std::string escaped(PyObject* text) {
  py::Ref bytes = py::check(PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
  return std::string(PyBytes_AS_STRING(bytes.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// The failure's code location, error type and message, as one line of text.
std::string describe(const py::Error& error, PyObject* co_filename, PyObject* co_name) {
  std::string message;
  if (PyObject* text = PyObject_Str(error.value())) {
    py::Ref held = py::Ref::steal(text);
    message = escaped(held.get());
  } else {
    PyErr_Clear();  // a message that cannot be read counts as none
  }
  return escaped(co_filename) + " " + escaped(co_name) + ": " + Py_TYPE(error.value())->tp_name +
         ": " + message;
}

bool first_time(FailureLog& failures, const py::Error& error, PyObject* co_filename,
                PyObject* co_name) {
  try {
    return failures.first_time(describe(error, co_filename, co_name));
  } catch (const py::Error&) {
    PyErr_Clear();
  } catch (...) {
  }
  return true;  // a failure that cannot be told apart from others is logged
}

void warn_repeats(const std::vector<std::pair<std::string, std::size_t>>& repeats) {
  std::string lines;
  for (const auto& [failure, count] : repeats) {
    lines += "\n    " + failure + " (" + std::to_string(count) + " more)";
  }
  py::Ref warning = vexo_warning();
  py::Ref format = py::new_text("Failures repeated in this trace, each logged only once:%s");
  py::Ref text = py::check(
      PyUnicode_DecodeUTF8(lines.data(), static_cast<Py_ssize_t>(lines.size()), "replace"));
  py::call(warning.get(), {format.get(), text.get()});
}

}  // namespace

void log_error(FailureLog& failures, PyFrameObject* frame, const py::Error& error,
               const char* event, PyObject* co_filename, PyObject* co_name) noexcept {
  if (!first_time(failures, error, co_filename, co_name)) return;
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

namespace {

// Runs a report; its own failure goes to the unraisable hook, never to the program.
template <class Report>
void unraisably(Report&& report) noexcept {
  try {
    report();
  } catch (const py::Error& failure) {
    failure.restore();
    PyErr_WriteUnraisable(nullptr);
  } catch (...) {
    py::raise_current_exception();
    PyErr_WriteUnraisable(nullptr);
  }
}

}  // namespace

void report_repeated_failures(FailureLog& failures) noexcept {
  unraisably([&failures] {
    auto repeats = failures.take_repeats();
    if (!repeats.empty()) warn_repeats(repeats);
  });
}

void report_budget_reached(std::size_t limit) noexcept {
  unraisably([limit] {
    const std::string text = "the trace holds " + std::to_string(limit) +
                             " bytes of records, as much as one trace may: its later frame "
                             "records are dropped, until it is built or saved";
    py::Error error = py::Error::make(PyExc_MemoryError, text);
    py::Ref warning = vexo_warning();
    py::Ref kwargs = py::check(PyDict_New());
    py::dict_set(kwargs.get(), py::names().exc_info, error.value());
    py::Ref format = py::new_text("%s");
    py::Ref message = py::new_text(text);
    py::call(warning.get(), {format.get(), message.get()}, kwargs.get());
  });
}

void report_abandoned_event(const char* message, PyObject* context) noexcept {
  PyErr_Format(PyExc_SystemError, "vexo abandoned a profile event: %s", message);
  PyErr_WriteUnraisable(context);
}

}  // namespace vexo::profiler
