#include "lib/shutdown.hpp"

#include <atomic>
#include <chrono>
#include <thread>

#include "py/gil.hpp"
#include "py/object.hpp"
#include "utils/fork_generation.hpp"

namespace vexo::lib::shutdown {

namespace {

// Long enough for any event to end; a plugin that never returns must not hold the exit forever.
constexpr std::chrono::seconds kLongestWait{2};

std::atomic<bool> exit_begun{false};
// Work under way in this process, counted in the fork generation it was counted in. Both change
// only with the interpreter lock held.
std::atomic<int> in_progress{0};
std::atomic<std::uint64_t> counted_generation{0};

int work_under_way() noexcept {
  if (counted_generation.load(std::memory_order_relaxed) != fork_generation::current()) return 0;
  return in_progress.load(std::memory_order_relaxed);
}

PyObject* wait_for_work_under_way(PyObject*, PyObject*) {
  exit_begun.store(true, std::memory_order_relaxed);
  const auto deadline = std::chrono::steady_clock::now() + kLongestWait;
  while (work_under_way() > 0 && std::chrono::steady_clock::now() < deadline) {
    py::AllowThreads others_run;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Py_RETURN_NONE;
}

PyMethodDef wait_definition = {"_vexo_wait_for_events", wait_for_work_under_way, METH_NOARGS,
                               nullptr};

}  // namespace

void watch_interpreter_exit() {
  py::Ref atexit = py::import("atexit");
  py::Ref wait = py::check(PyCFunction_New(&wait_definition, nullptr));
  py::Ref register_name = py::new_text("register");
  py::call(py::getattr(atexit.get(), register_name.get()).get(), {wait.get()});
}

bool begun() noexcept { return exit_begun.load(std::memory_order_relaxed); }

WorkInProgress::WorkInProgress() noexcept : fork_generation_(fork_generation::current()) {
  if (counted_generation.load(std::memory_order_relaxed) != fork_generation_) {
    counted_generation.store(fork_generation_, std::memory_order_relaxed);
    in_progress.store(0, std::memory_order_relaxed);
  }
  // A load and a store, not a locked read-modify-write: only a thread holding the interpreter
  // lock changes the count, and this runs twice per event.
  in_progress.store(in_progress.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

WorkInProgress::~WorkInProgress() {
  if (counted_generation.load(std::memory_order_relaxed) == fork_generation_) {
    in_progress.store(in_progress.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  }
}

}  // namespace vexo::lib::shutdown
