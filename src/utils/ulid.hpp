// ULIDs and the trace and frame ids made from them.
#pragma once

#include <cstdint>
#include <string>

namespace vexo::ulid {

// The 26-character text of the ULID with these 48 time bits and 80 random bits (16 + 64).
std::string encode(std::uint64_t millis, std::uint16_t random_high, std::uint64_t random_low);

// A new ULID: the current time and fresh bits of this thread's secure generator.
std::string new_ulid();
inline std::string new_trace_id() { return "trc_" + new_ulid(); }
inline std::string new_frame_id() { return "frm_" + new_ulid(); }

}  // namespace vexo::ulid
