#include "profiler/request_end.hpp"

#include <optional>
#include <string>
#include <utility>

#include "profiler/buffers.hpp"
#include "profiler/frame_record.hpp"
#include "utils/call_site.hpp"
#include "utils/clock.hpp"
#include "utils/document_layout.hpp"
#include "utils/dump.hpp"
#include "utils/msgpack_put.hpp"
#include "utils/ulid.hpp"

namespace vexo::profiler {

namespace {

namespace put = msgpack::put;

// A field whose value is written as any recorded value is: scrubbed and within the trace's limits,
// since an error's text is the application's own.
struct DumpedField {
  std::string_view key;
  msgpack::Bytes value;
};

}  // namespace

void push_request_end(ProfilerState& state, PyObject* outcome, PyObject* status, PyObject* error) {
  state.renew_after_fork();
  // Dumped first: the serializer may let another thread run, which could change what the thread's
  // slot holds.
  std::vector<DumpedField> fields;
  fields.push_back({layout::record::kOutcome, dump::dump(outcome, state.settings.dumper)});
  if (status != Py_None) {
    fields.push_back({layout::record::kStatus, dump::dump(status, state.settings.dumper)});
  }
  if (error != Py_None) {
    fields.push_back({layout::record::kError, dump::dump(error, state.settings.dumper)});
  }
  const clock::WallTime time = clock::now();
  const std::string frame_id = ulid::new_frame_id();
  const thread_identity::ThreadIdentity& thread = cached_thread_info(state);
  std::optional<call_site::UserCodeCallSite> site =
      call_site::user_code_call_site(call_frames_snapshot(state), frame_id);
  std::optional<call_site::CallSiteView> site_view;
  if (site) site_view = call_site::CallSiteView{site->call_frame_id, site->line_number};

  std::size_t size =
      160 + frame_id.size() + thread.name.size() + (site ? site->call_frame_id.size() : 0);
  for (const DumpedField& field : fields) size += 16 + field.value.size();
  Record record(size);
  std::uint8_t* at = record.data();
  // The fields of a plugin's record, so that it reads as the marker it replaces.
  at = put::map_header(at, 6 + fields.size());
  at = put::str(put::fixstr<layout::record::kFrameId>(at), frame_id);
  at = put_time_and_thread(at, time, thread);
  at = call_site_value(put::fixstr<layout::record::kUserCodeCallSite>(at), site_view);
  at = put::fixstr<layout::record_type::kEndRequest>(put::fixstr<layout::record::kType>(at));
  for (const DumpedField& field : fields) {
    at = put::str(at, field.key);
    at = put::bytes(at, std::span<const std::uint8_t>(field.value));
  }
  EventRecords records;
  records.push_back({RecordKind::Other, finished(std::move(record), at)});
  push_frames(state, Event::Call, records);
}

}  // namespace vexo::profiler
