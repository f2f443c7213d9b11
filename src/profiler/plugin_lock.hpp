// The lock that serialises the processing of events across threads.
//
// Plugin callables, dumps and saves run interpreter code while it is held, and interpreter code
// can hand the interpreter lock to another thread. That thread must never wait for this lock while
// holding the interpreter lock, or neither could go on: when the lock is taken, the waiter gives
// the interpreter lock up until it has this one.
//
// It is fair: a thread that unlocks while others wait hands the lock over to the one that has
// waited longest instead of freeing it, and a newcomer gets in line behind them. Otherwise a thread
// that runs plugin events back to back (its plugin giving the interpreter lock away) takes the lock
// again before a woken waiter can look, every time, and the waiters never run again.
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
    if (waiting_ == 0 && try_take(kFree, me)) return;
    // In line behind the threads already waiting; only this ticket's handover is ours.
    const std::uint64_t mine = kHandedOver | next_ticket_++;
    ++waiting_;
    while (!try_take(mine, me) && !try_take(kFree, me)) {
      py::AllowThreads released;
      for (std::uint64_t seen = holder_.load(std::memory_order_relaxed);
           seen != kFree && seen != mine; seen = holder_.load(std::memory_order_relaxed)) {
        holder_.wait(seen, std::memory_order_relaxed);
      }
    }
    --waiting_;
  }

  // Called with the interpreter lock held.
  void unlock() {
    if (waiting_ == 0) {
      holder_.store(kFree, std::memory_order_release);
      return;
    }
    holder_.store(kHandedOver | next_served_++, std::memory_order_release);
    holder_.notify_all();
  }

  // In a child after fork: a holder or waiter other than the calling thread no longer exists.
  void release_if_held_by_another_thread() {
    waiting_ = 0;
    next_served_ = next_ticket_;
    if (holder_.load(std::memory_order_relaxed) != holder_id()) {
      holder_.store(kFree, std::memory_order_relaxed);
    }
  }

 private:
  static constexpr std::uint64_t kFree = 0;
  // The top bit marks a lock handed over to the waiter holding the ticket in the other bits;
  // thread-state ids never get that large.
  static constexpr std::uint64_t kHandedOver = std::uint64_t{1} << 63;

  // Interpreter thread-state ids start at 1 and are never reused.
  static std::uint64_t holder_id() noexcept { return PyThreadState_GetID(PyThreadState_Get()); }

  bool try_take(std::uint64_t from, std::uint64_t me) {
    return holder_.compare_exchange_strong(from, me, std::memory_order_acquire,
                                           std::memory_order_relaxed);
  }

  std::atomic<std::uint64_t> holder_{kFree};
  // The waiters' line: tickets are given and served in order. Changed and read only with the
  // interpreter lock held.
  std::uint64_t waiting_ = 0;
  std::uint64_t next_ticket_ = 0;
  std::uint64_t next_served_ = 0;
};

}  // namespace vexo::profiler
