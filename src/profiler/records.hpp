// Encoded records and the buffers that hold them until a trace is built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "utils/msgpack_writer.hpp"

namespace vexo::profiler {

// One complete MessagePack value, stored and embedded without being decoded again. Records are
// made at their exact size (capacity equal to size).
using Record = msgpack::Bytes;
// What the buffers must know of a record besides its bytes: frame records count against the
// trace's budget, and the markers of a test's start and end cut one trace per test.
enum class RecordKind : std::uint8_t { Frame, StartTest, EndTest, Other };
// One record of an event, on its way to a buffer.
struct EventRecord {
  RecordKind kind;
  Record bytes;
};
using EventRecords = std::vector<EventRecord>;
// A buffer of records until the trace is built. A deque grows by fixed blocks, so a large trace
// costs its records' bytes and a few dozen bytes per record, never a doubling's worth of slack.
using RecordBuffer = std::deque<Record>;
// Records of the threads other than the main one, by native thread id.
using ThreadRecords = std::unordered_map<std::size_t, RecordBuffer>;

}  // namespace vexo::profiler
