#include "profiler/frame_record.hpp"

#include "utils/clock.hpp"

namespace vexo::profiler {

namespace {

void write_call_site(msgpack::Bytes& out,
                     const std::optional<call_site::UserCodeCallSite>& call_site) {
  msgpack::write_str(out, "user_code_call_site");
  if (!call_site) {
    msgpack::write_nil(out);
    return;
  }
  msgpack::write_map_header(out, 2);
  msgpack::write_str_pair(out, "call_frame_id", call_site->call_frame_id);
  msgpack::write_str(out, "line_number");
  msgpack::write_int(out, call_site->line_number);
}

}  // namespace

Record encode_frame_record(const FrameFields& fields, msgpack::Bytes& scratch) {
  scratch.clear();
  msgpack::Bytes& out = scratch;
  msgpack::write_map_header(out, 12);
  msgpack::write_str_pair(out, "path", fields.path);
  msgpack::write_str_pair(out, "co_name", fields.co_name);
  msgpack::write_str_pair(out, "qualname", fields.qualname);
  msgpack::write_str_pair(out, "event", fields.event);
  msgpack::write_str_pair(out, "frame_id", fields.frame_id);
  msgpack::write_raw_pair(out, "arg", fields.arg);
  msgpack::write_raw_pair(out, "locals", fields.locals);
  msgpack::write_str_pair(out, "thread", fields.thread.name);
  msgpack::write_int_pair(out, "thread_native_id", fields.thread.native_id);
  msgpack::write_f64_pair(out, clock::timestamp());
  msgpack::write_str_pair(out, "type", "frame");
  write_call_site(out, fields.call_site);
  return Record(out.begin(), out.end());
}

}  // namespace vexo::profiler
