#include "profiler/request_end.hpp"

#include <string>
#include <utility>

#include "plugins/process_event.hpp"
#include "profiler/buffers.hpp"
#include "py/error.hpp"
#include "py/names.hpp"
#include "utils/document_layout.hpp"
#include "utils/dump.hpp"
#include "utils/ulid.hpp"

namespace vexo::profiler {

void push_request_end(ProfilerState& state, PyObject* outcome, PyObject* status, PyObject* error) {
  state.renew_after_fork();
  const std::string frame_id = ulid::new_frame_id();
  py::Ref data =
      plugins::record_head(frame_id, cached_thread_info(state), call_frames_snapshot(state),
                           layout::record_type::kEndRequest);
  // Interned keys: the dump remembers what it decided about a name by the name's object.
  const py::Names& names = py::names();
  py::check_status(PyDict_SetItem(data.get(), names.outcome, outcome));
  if (status != Py_None) py::check_status(PyDict_SetItem(data.get(), names.status, status));
  if (error != Py_None) py::check_status(PyDict_SetItem(data.get(), names.error, error));
  EventRecords records;
  records.push_back({RecordKind::Other, dump::dump(data.get(), state.settings.dumper)});
  push_frames(state, Event::Call, records);
}

}  // namespace vexo::profiler
