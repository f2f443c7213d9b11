// Wall-clock time, read from the real-time clock.
#pragma once

#include <cstdint>

namespace vexo::clock {

struct WallTime {
  std::int64_t seconds;
  std::int64_t nanoseconds;
};

WallTime now() noexcept;

// Seconds since the Unix epoch with the fraction; 0.0 for a clock before the epoch.
double timestamp_from(WallTime time) noexcept;
inline double timestamp() noexcept { return timestamp_from(now()); }

// Milliseconds since the Unix epoch, truncated to 48 bits; 0 for a clock before the epoch.
std::uint64_t ulid_millis_from(WallTime time) noexcept;

}  // namespace vexo::clock
