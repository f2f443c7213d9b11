#include "utils/current_directory.hpp"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "py/error.hpp"
#include "py/python.hpp"

namespace vexo::current_directory {

namespace {

// All of this changes with the interpreter lock held (audit hooks and profile events both hold
// it), or in a child just forked, where only one thread is left; but an ending thread hands its
// count back without it.
bool hook_seen_events = false;
// Audited calls that may change the directory and may not have ended yet: such a call announces
// itself before it acts, and gives the interpreter lock up while it does.
std::atomic<unsigned> changes_under_way{0};

// The calls of one thread counted above. Its own next event comes after they have ended, and so
// does its end.
struct ChangesOfThisThread {
  unsigned started = 0;

  void end() noexcept {
    if (started == 0) return;
    changes_under_way.fetch_sub(started, std::memory_order_relaxed);
    started = 0;
  }
  ~ChangesOfThisThread() { end(); }
};
thread_local ChangesOfThisThread changes_of_this_thread;

struct Cache {
  bool valid = false;
  bool readable = false;
  std::int64_t tick = 0;
  std::string directory;
  std::uint64_t generation = 0;
};
// Never destroyed: a daemon thread may still ask while the process exits.
Cache& cache = *new Cache;

// The audit events of calls after which getcwd may answer differently: a change of directory
// (os.chdir, os.fchdir), the directory or one above it renamed (os.rename, os.replace) or removed,
// and foreign calls, which could do any of these.
constexpr const char* kChangingEvents[] = {"os.chdir", "os.rename", "os.rmdir",
                                           "ctypes.call_function"};

bool may_change_directory(const char* event) noexcept {
  if (event[0] != 'o' && event[0] != 'c') return false;
  for (const char* changing : kChangingEvents) {
    if (std::strcmp(event, changing) == 0) return true;
  }
  return false;
}

int on_audit_event(const char* event, PyObject*, void*) noexcept {
  hook_seen_events = true;
  if (may_change_directory(event)) {
    changes_under_way.fetch_add(1, std::memory_order_relaxed);
    ++changes_of_this_thread.started;
    cache.valid = false;
  }
  return 0;
}

void after_fork_in_child() noexcept {
  changes_under_way.store(changes_of_this_thread.started, std::memory_order_relaxed);
}

[[maybe_unused]] const int fork_handler_registered =
    pthread_atfork(nullptr, nullptr, after_fork_in_child);

// Holds the directory read before, to compare; kept to reuse its memory.
std::string& scratch() {
  static std::string& text = *new std::string;
  return text;
}

// The coarse monotonic clock: read without a system call, it moves every few milliseconds.
std::int64_t coarse_tick() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The current directory does not fit a path-sized buffer only below very deep trees.
bool read_directory(std::string& into) {
  into.resize(PATH_MAX);
  while (getcwd(into.data(), into.size()) == nullptr) {
    if (errno != ERANGE) return false;
    into.resize(into.size() * 2);
  }
  into.resize(std::strlen(into.c_str()));
  return true;
}

}  // namespace

void watch_changes() {
  if (PySys_AddAuditHook(on_audit_event, nullptr) < 0) py::throw_error();
  // Another hook may have refused ours and cleared the error: only the events it sees prove it.
}

const std::string* get() {
  if (changes_under_way.load(std::memory_order_relaxed) != 0) changes_of_this_thread.end();
  const std::int64_t tick = coarse_tick();
  const bool trusted = hook_seen_events && changes_under_way.load(std::memory_order_relaxed) == 0;
  if (!trusted || !cache.valid || cache.tick != tick) {
    const bool was_readable = cache.readable;
    std::string& before = scratch();
    before.swap(cache.directory);
    cache.readable = read_directory(cache.directory);
    if (cache.readable != was_readable || cache.directory != before) ++cache.generation;
    cache.tick = tick;
    cache.valid = trusted;
  }
  return cache.readable ? &cache.directory : nullptr;
}

std::uint64_t generation() { return cache.generation; }

}  // namespace vexo::current_directory
