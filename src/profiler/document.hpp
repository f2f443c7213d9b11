// The trace document: one MessagePack map carrying a whole trace out of the module.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "profiler/state.hpp"
#include "py/ref.hpp"

namespace vexo::profiler {

// What the document needs from outside the module, read before any buffer is touched.
struct OutsideValues {
  std::string version;
  std::optional<std::string> commit_sha;
  std::vector<std::string> argv;
};

// The buffers' contents, taken out of the state.
struct DrainedTrace {
  RecordBuffer frames_of_interest;
  ThreadRecords frames;
  std::string trace_id;
};

// vexo.version.__version__, vexo.git.COMMIT_SHA and sys.argv. Throws py::Error.
OutsideValues read_outside_values();

// Empties both buffers and copies the trace id.
DrainedTrace drain(ProfilerState& state);

// Puts drained records back in front of whatever arrived since, order kept.
void put_back(ProfilerState& state, DrainedTrace&& drained);

// The trace document as a bytes object. Throws py::Fatal when it cannot be made.
py::Ref encode_document(const ProfilerState& state, const OutsideValues& outside,
                        const DrainedTrace& drained);

// Builds the document of the current trace, draining the buffers. Throws py::Error.
py::Ref build_trace_inner(ProfilerState& state);

}  // namespace vexo::profiler
