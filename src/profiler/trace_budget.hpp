// How many bytes of records one trace may hold in memory.
//
// A trace is built in memory and stored as one document, so a traced program that makes calls
// without end (a long loop over a generator, a test that runs millions of them) would otherwise
// take all the memory there is, and the document could not be stored anyway (SQLite refuses
// values over a gigabyte). Past the budget the frame records of the trace are dropped, which is
// reported once; plugin records (test markers among them) are always kept. The budget starts
// afresh whenever the buffers are emptied: a trace is built, saved or cut by a test marker.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vexo::profiler {

class TraceBudget {
 public:
  // Far more than a test or a request records with bounded values (the largest test of a real
  // suite: 114,000 records in 46 MB), while the stored document, the buffers it is built from and
  // its copy as a bytes object, all alive at once while a trace is saved, stay well under a GB.
  static constexpr std::size_t kDefaultLimit = std::size_t{128} << 20;

  explicit TraceBudget(std::size_t limit) noexcept : limit_(limit) {}

  // Counts `bytes` of frame records if they fit in what is left; false if they do not.
  bool take(std::size_t bytes) noexcept;
  // Counts records that are kept whatever the budget says (plugin records, records put back).
  void add(std::size_t bytes) noexcept { used_.fetch_add(bytes, std::memory_order_relaxed); }
  // The buffers were emptied: a new trace begins.
  void reset() noexcept;
  // Which trace the buffers are filling, counted by resets: what belongs to one trace (the
  // values it has written) is known by it.
  std::uint64_t trace_number() const noexcept {
    return trace_number_.load(std::memory_order_relaxed);
  }
  // True the first time records are dropped since the last reset; the trace is full from then on.
  bool first_drop() noexcept { return !full_.exchange(true, std::memory_order_relaxed); }
  // Whether frame records of this trace are being dropped, so that gathering them is wasted work.
  bool full() const noexcept { return full_.load(std::memory_order_relaxed); }

  std::size_t limit() const noexcept { return limit_; }

 private:
  const std::size_t limit_;
  std::atomic<std::size_t> used_{0};
  std::atomic<bool> full_{false};
  std::atomic<std::uint64_t> trace_number_{1};
};

}  // namespace vexo::profiler
