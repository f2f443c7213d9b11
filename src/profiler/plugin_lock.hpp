// The lock that serialises the processing of events across threads.
//
// Plugin callables, dumps and saves run interpreter code while it is held, and interpreter code
// can hand the interpreter lock to another thread. That thread must never wait for this lock while
// holding the interpreter lock, or neither could go on: when the lock is taken, the waiter gives
// the interpreter lock up until it has this one.
#pragma once

#include <mutex>

#include "py/gil.hpp"

namespace vexo::profiler {

class PluginLock {
 public:
  void lock() {
    if (mutex_.try_lock()) return;
    py::AllowThreads released;
    mutex_.lock();
  }
  void unlock() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

}  // namespace vexo::profiler
