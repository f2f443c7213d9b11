// The interpreter's exit, as the hooks see it.
//
// Once the interpreter has run its exit callbacks it frees the thread states of the threads still
// running (daemon threads) and ends each of them, the next time it asks for the interpreter lock,
// by unwinding its stack from inside the interpreter. A thread inside the hook at that moment would
// be unwound through code that cannot be unwound, and would write into its freed thread state.
// So from the exit callbacks on the hooks leave every event alone, and the exit waits, for a
// bounded time, for the events and saves already under way on other threads to end.
#pragma once

#include <cstdint>

namespace vexo::lib::shutdown {

// Registers the wait with the interpreter's exit callbacks; called once, when the module is made.
// Throws py::Error.
void watch_interpreter_exit();

// Whether the interpreter's exit has begun.
bool begun() noexcept;

// Counts one event or save under way for the length of the scope.
class WorkInProgress {
 public:
  WorkInProgress() noexcept;
  ~WorkInProgress();
  WorkInProgress(const WorkInProgress&) = delete;
  WorkInProgress& operator=(const WorkInProgress&) = delete;

 private:
  // Work counted before a fork belongs to threads the child does not have.
  std::uint64_t fork_generation_;
};

}  // namespace vexo::lib::shutdown
