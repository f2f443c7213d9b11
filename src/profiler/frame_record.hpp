// The default record of a recorded frame: a MessagePack map of 12 entries.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "profiler/records.hpp"
#include "utils/call_site.hpp"
#include "utils/clock.hpp"
#include "utils/thread_identity.hpp"

namespace vexo::profiler {

struct FrameFields {
  std::string_view path;
  std::string_view co_name;
  std::optional<std::string_view> qualname;
  const char* event;
  const std::string* frame_id;        // null for a return whose call was not recorded
  std::span<const std::uint8_t> arg;  // one encoded value each
  std::span<const std::uint8_t> locals;
  const thread_identity::ThreadIdentity& thread;
  const std::optional<call_site::CallSiteView>& call_site;
  clock::WallTime time;  // of the event
};

// Records are kept until the trace is built, so they are allocated at their exact size: the
// entries are written into `scratch` (reused from event to event) and copied out once.
Record encode_frame_record(const FrameFields& fields, msgpack::Bytes& scratch);

// The record that marks where a trace stopped recording frames because it reached its budget of
// `limit` bytes: {"type": "recording_stopped", "reason": "budget", "limit", "timestamp",
// "thread", "thread_native_id"}.
Record encode_recording_stopped(std::size_t limit, const thread_identity::ThreadIdentity& thread,
                                clock::WallTime time);

// A record's "user_code_call_site": the caller's frame id and line, or nil. Its room: 32 bytes and
// the frame id.
std::uint8_t* call_site_value(std::uint8_t* at,
                              const std::optional<call_site::CallSiteView>& call_site);

// The entries every record of its own type ends with: "timestamp", "thread", "thread_native_id".
// A record's room for them: 32 bytes and the thread's name.
std::uint8_t* put_time_and_thread(std::uint8_t* at, clock::WallTime time,
                                  const thread_identity::ThreadIdentity& thread);

// The record written up to `end`, at its exact size.
Record finished(Record record, const std::uint8_t* end);

}  // namespace vexo::profiler
