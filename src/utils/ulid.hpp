// ULIDs and the trace and frame ids made from them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "utils/clock.hpp"

namespace vexo::ulid {

// The 26-character text of the ULID with these 48 time bits and 80 random bits (16 + 64).
std::string encode(std::uint64_t millis, std::uint16_t random_high, std::uint64_t random_low);

// `prefix` followed by a new ULID: the current time and fresh bits of this thread's secure
// generator, made in place.
std::string new_id(std::string_view prefix);
// The same, written over `id` (whose memory is reused), for the moment `time`.
void write_id(std::string_view prefix, std::string& id, clock::WallTime time);
inline std::string new_ulid() { return new_id(""); }
inline std::string new_trace_id() { return new_id("trc_"); }
inline std::string new_frame_id() { return new_id("frm_"); }

}  // namespace vexo::ulid
