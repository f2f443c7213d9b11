#include "profiler/frame_record.hpp"

#include "utils/clock.hpp"
#include "utils/msgpack_put.hpp"

namespace vexo::profiler {

namespace {

namespace put = msgpack::put;

// Keys are written with their fixstr header, as one run of bytes each.
constexpr std::string_view key(std::string_view encoded) { return encoded; }

template <class Text>
std::uint8_t* optional_str(std::uint8_t* at, const std::optional<Text>& text) {
  return text ? put::str(at, *text) : put::nil(at);
}

std::uint8_t* call_site_value(std::uint8_t* at,
                              const std::optional<call_site::CallSiteView>& call_site) {
  if (!call_site) return put::nil(at);
  at = put::map_header(at, 2);
  at = put::bytes(at, key("\xad"
                          "call_frame_id"));
  at = put::str(at, call_site->call_frame_id);
  at = put::bytes(at, key("\xab"
                          "line_number"));
  return put::integer(at, call_site->line_number);
}

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
  at = put::str(put::bytes(at, key("\xa4"
                                   "path")),
                fields.path);
  at = put::str(put::bytes(at, key("\xa7"
                                   "co_name")),
                fields.co_name);
  at = optional_str(put::bytes(at, key("\xa8"
                                       "qualname")),
                    fields.qualname);
  at = put::str(put::bytes(at, key("\xa5"
                                   "event")),
                fields.event);
  at = optional_str(put::bytes(at, key("\xa8"
                                       "frame_id")),
                    fields.frame_id != nullptr ? std::optional<std::string_view>(*fields.frame_id)
                                               : std::nullopt);
  at = put::bytes(put::bytes(at, key("\xa3"
                                     "arg")),
                  fields.arg);
  at = put::bytes(put::bytes(at, key("\xa6"
                                     "locals")),
                  fields.locals);
  at = put::str(put::bytes(at, key("\xa6"
                                   "thread")),
                fields.thread.name);
  at = put::uint(put::bytes(at, key("\xb0"
                                    "thread_native_id")),
                 fields.thread.native_id);
  at = put::f64(put::bytes(at, key("\xa9"
                                   "timestamp")),
                clock::timestamp_from(fields.time));
  at = put::bytes(at, key("\xa4"
                          "type"
                          "\xa5"
                          "frame"));
  at = call_site_value(put::bytes(at, key("\xb3"
                                          "user_code_call_site")),
                       fields.call_site);
  return Record(scratch.data(), at);
}

Record encode_recording_stopped(std::size_t limit, const thread_identity::ThreadIdentity& thread,
                                clock::WallTime time) {
  Record record(256 + thread.name.size());
  std::uint8_t* at = record.data();
  at = put::map_header(at, 6);
  at = put::bytes(at, key("\xa4"
                          "type"
                          "\xb1"
                          "recording_stopped"));
  at = put::bytes(at, key("\xa6"
                          "reason"
                          "\xa6"
                          "budget"));
  at = put::uint(put::bytes(at, key("\xa5"
                                    "limit")),
                 limit);
  at = put::f64(put::bytes(at, key("\xa9"
                                   "timestamp")),
                clock::timestamp_from(time));
  at = put::str(put::bytes(at, key("\xa6"
                                   "thread")),
                thread.name);
  at = put::uint(put::bytes(at, key("\xb0"
                                    "thread_native_id")),
                 thread.native_id);
  record.resize(static_cast<std::size_t>(at - record.data()));
  record.shrink_to_fit();
  return record;
}

}  // namespace vexo::profiler
