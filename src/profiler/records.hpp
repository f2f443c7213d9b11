// Encoded records and the buffers that hold them until a trace is built.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "utils/msgpack.hpp"

namespace vexo::profiler {

// One complete MessagePack value, stored and embedded without being decoded again.
using Record = msgpack::Bytes;
using Records = std::vector<Record>;
// Records of the threads other than the main one, by native thread id.
using ThreadRecords = std::unordered_map<std::size_t, Records>;

}  // namespace vexo::profiler
