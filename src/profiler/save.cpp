#include "profiler/save.hpp"

#include "profiler/document.hpp"
#include "profiler/log_error.hpp"
#include "py/object.hpp"

namespace vexo::profiler {

void save_in_db(ProfilerState& state) {
  const py::Names& names = py::names();
  py::Ref kwargs = py::check(PyDict_New());
  py::Ref timeout = py::check(PyLong_FromSize_t(state.settings.sqlite_busy_timeout));
  py::dict_set(kwargs.get(), names.timeout, timeout);

  // Everything that can fail before the call is settled first, so that a missing module or
  // function leaves every record where it was.
  OutsideValues outside = read_outside_values();
  py::Ref save_trace = py::import_attribute("vexo.db", names.save_trace_in_sqlite);
  py::Ref db_path = py::new_text(state.settings.db_path);

  DrainedTrace drained = drain(state);
  report_repeated_failures(state.failures);
  try {
    py::Ref document = encode_document(state, outside, drained);
    py::dict_set(kwargs.get(), names.msgpack, document);
    py::Ref trace_id = py::new_text(drained.trace_id);
    py::call(save_trace.get(), {db_path.get(), trace_id.get()}, kwargs.get());
  } catch (...) {
    put_back(state, std::move(drained));
    throw;
  }
}

}  // namespace vexo::profiler
