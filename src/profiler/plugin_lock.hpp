// The lock that serialises the processing of events across threads.
//
// Plugin callables, dumps and saves run interpreter code while it is held, and interpreter code
// can hand the interpreter lock to another thread. That thread must never wait for this lock while
// holding the interpreter lock, or neither could go on: when the lock is taken, the waiter gives
// the interpreter lock up until it has this one.
//
// The lock remembers its holder, so that a child process, in which only the forking thread goes
// on, can free a lock held by a thread it does not have.
#pragma once

#include <atomic>
#include <cstdint>

#include "py/gil.hpp"

namespace vexo::profiler {

class PluginLock {
 public:
  // Called with the interpreter lock held. A waiter never takes this lock while it is without
  // the interpreter lock: it waits for this one to come free, takes the interpreter lock back,
  // and only then tries again. Otherwise two threads would each hold one lock and wait for the
  // other's at every event, handing both back and forth through the kernel.
  void lock() {
    const std::uint64_t me = holder_id();
    while (!try_take(me)) {
      py::AllowThreads released;
      for (std::uint64_t seen = holder_.load(std::memory_order_relaxed); seen != kFree;
           seen = holder_.load(std::memory_order_relaxed)) {
        holder_.wait(seen, std::memory_order_relaxed);
      }
    }
  }

  void unlock() {
    holder_.store(kFree, std::memory_order_release);
    holder_.notify_one();
  }

  // In a child after fork: a holder other than the calling thread no longer exists.
  void release_if_held_by_another_thread() {
    if (holder_.load(std::memory_order_relaxed) != holder_id()) {
      holder_.store(kFree, std::memory_order_relaxed);
    }
  }

 private:
  static constexpr std::uint64_t kFree = 0;

  // Interpreter thread-state ids start at 1 and are never reused.
  static std::uint64_t holder_id() noexcept { return PyThreadState_GetID(PyThreadState_Get()); }

  bool try_take(std::uint64_t me) {
    std::uint64_t expected = kFree;
    return holder_.compare_exchange_strong(expected, me, std::memory_order_acquire,
                                           std::memory_order_relaxed);
  }

  std::atomic<std::uint64_t> holder_{kFree};
};

}  // namespace vexo::profiler
