#include "profiler/document.hpp"

#include <cstring>
#include <iterator>
#include <span>

#include "profiler/log_error.hpp"
#include "py/object.hpp"
#include "utils/document_layout.hpp"
#include "utils/dump.hpp"
#include "utils/msgpack_writer.hpp"

namespace vexo::profiler {

namespace {

using msgpack::Bytes;
using py::Ref;
namespace write = msgpack::write;
namespace field = layout::document;

void write_argv(Bytes& out, const std::vector<std::string>& argv) {
  write::str(out, field::kCommandLineArgs);
  write::array_header(out, argv.size());
  for (const std::string& arg : argv) write::str(out, arg);
}

void write_meta(Bytes& out, const std::string& version, const std::string& source) {
  write::str(out, field::kMeta);
  write::map_header(out, 3);
  write::str_pair(out, layout::meta::kVersion, version);
  write::str_pair(out, layout::meta::kSource, source);
  write::str(out, layout::meta::kUseFrameBoundaries);
  write::boolean(out, true);
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
  // A command line may carry a secret too (--password=..., a URL with its password).
  for (std::string& arg : values.argv) {
    if (std::optional<std::string> scrubbed = dump::scrubbed_text(arg)) arg = std::move(*scrubbed);
  }
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

namespace {

// The document's bytes in order, handed to `put` piece by piece: the parts encoded here, and each
// record where it lies.
template <class Put>
void lay_out(const ProfilerState& state, const OutsideValues& outside, const DrainedTrace& drained,
             Put&& put) {
  Bytes part;
  auto put_part = [&part, &put] {
    put(std::span<const std::uint8_t>(part));
    part.clear();
  };
  auto put_records = [&part, &put, &put_part](const RecordBuffer& records) {
    write::array_header(part, records.size());
    put_part();
    for (const Record& record : records) put(std::span<const std::uint8_t>(record));
  };
  write::map_header(part, 8);
  write_argv(part, outside.argv);
  write::str_pair(part, field::kCurrentCommitSha, outside.commit_sha);
  write::str(part, field::kFrames);
  write::map_header(part, drained.frames.size());
  for (const auto& [thread_id, records] : drained.frames) {
    write::uint(part, thread_id);
    put_records(records);
  }
  write::str(part, field::kFramesOfInterest);
  put_records(drained.frames_of_interest);
  write::int_pair(part, field::kMainThreadId, state.settings.main_thread_id);
  write_meta(part, outside.version, state.settings.source);
  write::f64_pair(part, field::kTimestamp, state.settings.timestamp);
  write::str_pair(part, field::kTraceId, drained.trace_id);
  put_part();
}

}  // namespace

Ref encode_document(const ProfilerState& state, const OutsideValues& outside,
                    const DrainedTrace& drained) {
  // Measured first, then written once into the bytes object: a large trace's document is not
  // made twice over.
  std::size_t size = 0;
  lay_out(state, outside, drained,
          [&size](std::span<const std::uint8_t> piece) { size += piece.size(); });
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (bytes == nullptr) {
    PyErr_Clear();
    throw py::Fatal("failed to create the trace document's bytes");
  }
  auto* at = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes));
  lay_out(state, outside, drained, [&at](std::span<const std::uint8_t> piece) {
    if (!piece.empty()) std::memcpy(at, piece.data(), piece.size());
    at += piece.size();
  });
  return Ref::steal(bytes);
}

Ref build_trace_inner(ProfilerState& state) {
  OutsideValues outside = read_outside_values();
  DrainedTrace drained = drain(state);
  report_repeated_failures(state.failures);
  return encode_document(state, outside, drained);
}

}  // namespace vexo::profiler
