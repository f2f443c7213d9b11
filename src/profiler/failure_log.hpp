// Which failures of event processing have been logged in the current trace.
//
// A failure that repeats at every event of one function (a file name that cannot be encoded, a
// serializer that always fails) would otherwise log a warning at every call and return. The same
// failure at the same place is logged once per trace, and its repeats are counted and reported
// once when the trace is built, saved or cut.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vexo::profiler {

class FailureLog {
 public:
  // True the first time this failure is met since the last `take_repeats`; later ones are counted.
  bool first_time(const std::string& failure);
  // The failures met more than once, with how many times they were not logged; forgets them all.
  std::vector<std::pair<std::string, std::size_t>> take_repeats();

 private:
  std::mutex lock_;
  std::unordered_map<std::string, std::size_t> repeats_;
};

}  // namespace vexo::profiler
