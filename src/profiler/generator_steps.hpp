// The steps of generators and coroutines. The interpreter resumes such a frame many times and
// each resumption is a call event with a frame id of its own; a step record after the call record
// of a resumed step names the logical call it belongs to (the frame id of its first recorded
// step), so that readers can show the frame as one call with its steps. A coroutine that an
// asyncio task runs gets a step record at its first step too, naming the task.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "profiler/records.hpp"
#include "py/python.hpp"
#include "utils/clock.hpp"
#include "utils/thread_identity.hpp"

namespace vexo::profiler {

// The logical call a generator's steps belong to. The generator is known by its address only:
// holding it would keep the program's generator alive, and a weak reference made while it is
// finalized (close() resumes it after its weak references were cleared) would outlive it. A
// generator's first entry is told exactly from its frame, so an address reused by a later
// generator starts a new entry; the code is compared as well for a generator whose first step
// was not recorded.
struct LogicalCall {
  const void* code = nullptr;  // compared only, never followed
  std::string first_frame_id;
  std::uint64_t steps = 0;
};

// One thread's logical calls of the current trace, by generator address.
struct GeneratorSteps {
  std::unordered_map<const void*, LogicalCall> calls;
  std::uint64_t trace = 0;  // the budget's trace number they belong to
};

// Whether the code is a generator's, a coroutine's or an async generator's.
bool is_generator_code(PyObject* code) noexcept;

// The instruction offset, as frame.f_lasti gives it, of a generator-like frame at its first
// entry: its first RESUME from 3.11 on, -1 before. -1 for other code, or where it cannot be told.
int generator_start_offset(PyObject* code) noexcept;

// The step record of the call just recorded of a generator-like frame: {"type": "step",
// "frame_id", "first_frame_id", "step", "task", "timestamp", "thread", "thread_native_id"}. None
// for a first step that runs as no task, which needs nothing beyond its call record. Runs no code
// of the program.
std::optional<Record> step_record(GeneratorSteps& steps, std::uint64_t trace, PyFrameObject* frame,
                                  PyObject* code, int start_offset, const std::string& frame_id,
                                  const thread_identity::ThreadIdentity& thread,
                                  clock::WallTime time);

}  // namespace vexo::profiler
