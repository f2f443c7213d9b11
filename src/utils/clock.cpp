#include "utils/clock.hpp"

#include <time.h>

namespace vexo::clock {

namespace {
constexpr std::uint64_t kMillisMask = (std::uint64_t{1} << 48) - 1;
}  // namespace

WallTime now() noexcept {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return WallTime{static_cast<std::int64_t>(now.tv_sec), static_cast<std::int64_t>(now.tv_nsec)};
}

double timestamp_from(WallTime time) noexcept {
  // A clock before the epoch has no timestamp; records get 0.0 rather than no record at all.
  if (time.seconds < 0) return 0.0;
  return static_cast<double>(time.seconds) + static_cast<double>(time.nanoseconds) / 1000000000.0;
}

std::uint64_t ulid_millis_from(WallTime time) noexcept {
  if (time.seconds < 0) return 0;
  // Unsigned arithmetic wraps modulo 2^64, which keeps the low 48 bits exact.
  std::uint64_t millis = static_cast<std::uint64_t>(time.seconds) * 1000 +
                         static_cast<std::uint64_t>(time.nanoseconds) / 1000000;
  return millis & kMillisMask;
}

}  // namespace vexo::clock
