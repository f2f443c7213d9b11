#include "profiler/trace_budget.hpp"

namespace vexo::profiler {

bool TraceBudget::take(std::size_t bytes) noexcept {
  std::size_t used = used_.load(std::memory_order_relaxed);
  do {
    if (bytes > limit_ || used > limit_ - bytes) return false;
  } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
  return true;
}

void TraceBudget::reset() noexcept {
  used_.store(0, std::memory_order_relaxed);
  full_.store(false, std::memory_order_relaxed);
  trace_number_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace vexo::profiler
