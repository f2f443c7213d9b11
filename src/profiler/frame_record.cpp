#include "profiler/frame_record.hpp"

#include <utility>

#include "utils/clock.hpp"
#include "utils/document_layout.hpp"
#include "utils/msgpack_put.hpp"

namespace vexo::profiler {

namespace {

namespace put = msgpack::put;

template <class Text>
std::uint8_t* optional_str(std::uint8_t* at, const std::optional<Text>& text) {
  return text ? put::str(at, *text) : put::nil(at);
}

}  // namespace

std::uint8_t* call_site_value(std::uint8_t* at,
                              const std::optional<call_site::CallSiteView>& call_site) {
  if (!call_site) return put::nil(at);
  at = put::map_header(at, 2);
  at = put::fixstr<layout::record::kCallFrameId>(at);
  at = put::str(at, call_site->call_frame_id);
  at = put::fixstr<layout::record::kLineNumber>(at);
  return put::integer(at, call_site->line_number);
}

namespace {

// Room enough for the record: every text and raw value, plus the keys and the headers.
std::size_t size_bound(const FrameFields& fields) {
  constexpr std::size_t kFixed = 256;
  std::size_t size = kFixed + fields.path.size() + fields.co_name.size() + fields.arg.size() +
                     fields.locals.size() + fields.thread.name.size();
  if (fields.qualname) size += fields.qualname->size();
  if (fields.frame_id != nullptr) size += fields.frame_id->size();
  if (fields.call_site) size += fields.call_site->call_frame_id.size();
  return size;
}

}  // namespace

Record encode_frame_record(const FrameFields& fields, msgpack::Bytes& scratch) {
  const std::size_t bound = size_bound(fields);
  if (scratch.size() < bound) scratch.resize(bound);
  std::uint8_t* at = scratch.data();
  at = put::map_header(at, 12);
  at = put::str(put::fixstr<layout::record::kPath>(at), fields.path);
  at = put::str(put::fixstr<layout::record::kCoName>(at), fields.co_name);
  at = optional_str(put::fixstr<layout::record::kQualname>(at), fields.qualname);
  at = put::str(put::fixstr<layout::record::kEvent>(at), fields.event);
  at = optional_str(put::fixstr<layout::record::kFrameId>(at),
                    fields.frame_id != nullptr ? std::optional<std::string_view>(*fields.frame_id)
                                               : std::nullopt);
  at = put::bytes(put::fixstr<layout::record::kArg>(at), fields.arg);
  at = put::bytes(put::fixstr<layout::record::kLocals>(at), fields.locals);
  at = put::str(put::fixstr<layout::record::kThread>(at), fields.thread.name);
  at = put::uint(put::fixstr<layout::record::kThreadNativeId>(at), fields.thread.native_id);
  at = put::f64(put::fixstr<layout::record::kTimestamp>(at), clock::timestamp_from(fields.time));
  at = put::fixstr<layout::record_type::kFrame>(put::fixstr<layout::record::kType>(at));
  at = call_site_value(put::fixstr<layout::record::kUserCodeCallSite>(at), fields.call_site);
  return Record(scratch.data(), at);
}

Record encode_recording_stopped(std::size_t limit, const thread_identity::ThreadIdentity& thread,
                                clock::WallTime time) {
  Record record(256 + thread.name.size());
  std::uint8_t* at = record.data();
  at = put::map_header(at, 6);
  at = put::fixstr<layout::record_type::kRecordingStopped>(put::fixstr<layout::record::kType>(at));
  at = put::fixstr<layout::kBudgetReason>(put::fixstr<layout::record::kReason>(at));
  at = put::uint(put::fixstr<layout::record::kLimit>(at), limit);
  return finished(std::move(record), put_time_and_thread(at, time, thread));
}

std::uint8_t* put_time_and_thread(std::uint8_t* at, clock::WallTime time,
                                  const thread_identity::ThreadIdentity& thread) {
  at = put::f64(put::fixstr<layout::record::kTimestamp>(at), clock::timestamp_from(time));
  at = put::str(put::fixstr<layout::record::kThread>(at), thread.name);
  return put::uint(put::fixstr<layout::record::kThreadNativeId>(at), thread.native_id);
}

Record finished(Record record, const std::uint8_t* end) {
  record.resize(static_cast<std::size_t>(end - record.data()));
  record.shrink_to_fit();
  return record;
}

}  // namespace vexo::profiler
