#include "profiler/document.hpp"

#include <iterator>

#include "profiler/log_error.hpp"
#include "py/object.hpp"

namespace vexo::profiler {

namespace {

using msgpack::Bytes;
using py::Ref;

void write_argv(Bytes& out, const std::vector<std::string>& argv) {
  msgpack::write_str(out, "command_line_args");
  msgpack::write_array_header(out, argv.size());
  for (const std::string& arg : argv) msgpack::write_str(out, arg);
}

void write_raw_frames(Bytes& out, const RecordBuffer& records) {
  msgpack::write_array_header(out, records.size());
  for (const Record& record : records) msgpack::write_raw(out, record);
}

void write_frames(Bytes& out, const ThreadRecords& frames) {
  msgpack::write_str(out, "frames");
  msgpack::write_map_header(out, frames.size());
  for (const auto& [thread_id, records] : frames) {
    msgpack::write_uint(out, thread_id);
    write_raw_frames(out, records);
  }
}

void write_frames_of_interest(Bytes& out, const RecordBuffer& records) {
  msgpack::write_str(out, "frames_of_interest");
  write_raw_frames(out, records);
}

void write_meta(Bytes& out, const std::string& version, const std::string& source) {
  msgpack::write_str(out, "meta");
  msgpack::write_map_header(out, 3);
  msgpack::write_str_pair(out, "version", version);
  msgpack::write_str_pair(out, "source", source);
  msgpack::write_str(out, "use_frame_boundaries");
  msgpack::write_bool(out, true);
}

std::size_t encoded_size_hint(const DrainedTrace& drained) {
  std::size_t size = 512;
  for (const Record& record : drained.frames_of_interest) size += record.size();
  for (const auto& entry : drained.frames) {
    size += 16;
    for (const Record& record : entry.second) size += record.size();
  }
  return size;
}

void prepend(RecordBuffer& buffer, RecordBuffer&& earlier) {
  if (earlier.empty()) return;
  // Whichever side is shorter is moved over.
  if (earlier.size() <= buffer.size()) {
    for (auto record = earlier.rbegin(); record != earlier.rend(); ++record) {
      buffer.push_front(std::move(*record));
    }
  } else {
    for (Record& record : buffer) earlier.push_back(std::move(record));
    buffer = std::move(earlier);
  }
}

}  // namespace

OutsideValues read_outside_values() {
  const py::Names& names = py::names();
  OutsideValues values;
  Ref version = py::import_attribute("vexo.version", names.__version__);
  values.version = py::to_text(version.get());
  Ref sha = py::import_attribute("vexo.git", names.COMMIT_SHA);
  if (!sha.is_none()) values.commit_sha = py::to_text(sha.get());
  Ref argv = py::import_attribute("sys", names.argv);
  values.argv = py::to_text_list(argv.get());
  return values;
}

DrainedTrace drain(ProfilerState& state) {
  DrainedTrace drained;
  std::lock_guard<std::mutex> interest_guard(state.frames_of_interest.lock);
  std::lock_guard<std::mutex> frames_guard(state.frames.lock);
  drained.frames_of_interest = std::move(state.frames_of_interest.value);
  state.frames_of_interest.value.clear();
  drained.frames = std::move(state.frames.value);
  state.frames.value.clear();
  state.budget.reset();
  {
    std::lock_guard<std::mutex> trace_id_guard(state.trace_id.lock);
    drained.trace_id = state.trace_id.value;
  }
  return drained;
}

void put_back(ProfilerState& state, DrainedTrace&& drained) {
  std::lock_guard<std::mutex> interest_guard(state.frames_of_interest.lock);
  std::lock_guard<std::mutex> frames_guard(state.frames.lock);
  for (const Record& record : drained.frames_of_interest) state.budget.add(record.size());
  for (const auto& entry : drained.frames) {
    for (const Record& record : entry.second) state.budget.add(record.size());
  }
  prepend(state.frames_of_interest.value, std::move(drained.frames_of_interest));
  for (auto& [thread_id, records] : drained.frames) {
    prepend(state.frames.value[thread_id], std::move(records));
  }
}

Bytes encode_document(const ProfilerState& state, const OutsideValues& outside,
                      const DrainedTrace& drained) {
  Bytes out;
  out.reserve(encoded_size_hint(drained));
  msgpack::write_map_header(out, 8);
  write_argv(out, outside.argv);
  msgpack::write_str_pair(out, "current_commit_sha", outside.commit_sha);
  write_frames(out, drained.frames);
  write_frames_of_interest(out, drained.frames_of_interest);
  msgpack::write_int_pair(out, "main_thread_id", state.settings.main_thread_id);
  write_meta(out, outside.version, state.settings.source);
  msgpack::write_f64_pair(out, state.settings.timestamp);
  msgpack::write_str_pair(out, "trace_id", drained.trace_id);
  return out;
}

Ref to_bytes_object(const Bytes& document) {
  PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(document.data()),
                                              static_cast<Py_ssize_t>(document.size()));
  if (bytes == nullptr) {
    PyErr_Clear();
    throw py::Fatal("failed to create the trace document's bytes");
  }
  return Ref::steal(bytes);
}

Ref build_trace_inner(ProfilerState& state) {
  OutsideValues outside = read_outside_values();
  DrainedTrace drained = drain(state);
  report_repeated_failures(state.failures);
  return to_bytes_object(encode_document(state, outside, drained));
}

}  // namespace vexo::profiler
