#include "profiler/failure_log.hpp"

namespace vexo::profiler {

bool FailureLog::first_time(const std::string& failure) {
  std::lock_guard<std::mutex> guard(lock_);
  auto [entry, inserted] = repeats_.try_emplace(failure, 0);
  if (!inserted) ++entry->second;
  return inserted;
}

std::vector<std::pair<std::string, std::size_t>> FailureLog::take_repeats() {
  std::unordered_map<std::string, std::size_t> taken;
  {
    std::lock_guard<std::mutex> guard(lock_);
    taken.swap(repeats_);
  }
  std::vector<std::pair<std::string, std::size_t>> repeated;
  for (auto& [failure, count] : taken) {
    if (count > 0) repeated.emplace_back(failure, count);
  }
  return repeated;
}

}  // namespace vexo::profiler
