#include "profiler/buffers.hpp"

#include <algorithm>
#include <iterator>
#include <string>

#include "profiler/log_error.hpp"
#include "profiler/save.hpp"
#include "py/error.hpp"
#include "utils/ulid.hpp"

namespace vexo::profiler {

namespace {

// Takes the returning frame off its thread's stack, with any entries above it: those are frames
// whose returns were never recorded (their events failed, or the hook was replaced for a while).
// A frame that is not on the stack (its call was not recorded) leaves the stack as it is, so that
// an entry is never taken off for another frame's return, and none stays behind its own.
void drop_returning_frame(ProfilerState& state, PyFrameObject* frame) {
  ThreadSlot* slot = state.existing_thread_slot();
  if (slot == nullptr) return;
  call_site::CallFrameStack& stack = slot->call_frames;
  auto entry = std::find_if(stack.rbegin(), stack.rend(), [frame](const call_site::CallFrame& e) {
    return e.frame.get() == reinterpret_cast<PyObject*>(frame);
  });
  if (entry == stack.rend()) return;
  auto first = std::next(entry).base();
  // Released after the stack is whole again: releasing a frame can run a finalizer.
  if (std::next(first) == stack.end()) {
    // The usual case, the returning frame on top, without a vector to hold it.
    call_site::CallFrame released = std::move(stack.back());
    stack.pop_back();
    return;
  }
  call_site::CallFrameStack released(std::make_move_iterator(first),
                                     std::make_move_iterator(stack.end()));
  stack.erase(first, stack.end());
}

}  // namespace

void update_call_frames(ProfilerState& state, Event event, PyFrameObject* frame,
                        const std::string* frame_id) {
  if (event == Event::Return) {
    drop_returning_frame(state, frame);
    return;
  }
  if (frame_id == nullptr) return;
  state.thread_slot().call_frames.push_back(
      call_site::CallFrame{py::Ref::share(reinterpret_cast<PyObject*>(frame)), *frame_id});
}

call_site::CallFrameStack call_frames_snapshot(ProfilerState& state, std::size_t depth) {
  const call_site::CallFrameStack& stack = state.thread_slot().call_frames;
  std::size_t first = stack.size() > depth ? stack.size() - depth : 0;
  return call_site::CallFrameStack(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
}

const thread_identity::ThreadIdentity& cached_thread_info(ProfilerState& state) {
  ThreadSlot& slot = state.thread_slot();
  if (!slot.thread_info) slot.thread_info = thread_identity::current_thread();
  return *slot.thread_info;
}

void push_frame_data(ProfilerState& state, std::size_t thread_id, Records& records) {
  const Settings& settings = state.settings;
  auto append = [&records](RecordBuffer& buffer) {
    for (Record& record : records) buffer.push_back(std::move(record));
    records.clear();
  };
  if (settings.threading && thread_id != settings.main_thread_id) {
    std::lock_guard<std::mutex> guard(state.frames.lock);
    append(state.frames.value[thread_id]);
  } else {
    std::lock_guard<std::mutex> guard(state.frames_of_interest.lock);
    append(state.frames_of_interest.value);
  }
}

namespace {

// Moves the first `count` records out of `records` into the thread's buffer.
void push_leading(ProfilerState& state, std::size_t thread_id, Records& records,
                  std::size_t count) {
  Records leading(std::make_move_iterator(records.begin()),
                  std::make_move_iterator(records.begin() + static_cast<std::ptrdiff_t>(count)));
  records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(count));
  push_frame_data(state, thread_id, leading);
}

void start_new_trace(ProfilerState& state) {
  std::string trace_id = ulid::new_trace_id();
  {
    std::scoped_lock guard(state.trace_id.lock, state.frames_of_interest.lock, state.frames.lock);
    state.trace_id.value = std::move(trace_id);
    state.frames_of_interest.value.clear();
    state.frames.value.clear();
    state.budget.reset();
  }
  report_repeated_failures(state.failures);
}

// Drops the frame records that do not fit in the trace's budget; the other records always go in.
// True if any was dropped.
bool keep_within_budget(ProfilerState& state, std::vector<std::string>& types, Records& records) {
  bool dropped = false;
  std::size_t kept = 0;
  for (std::size_t index = 0; index < records.size(); ++index) {
    if (types[index] == "frame") {
      if (!state.budget.take(records[index].size())) {
        dropped = true;
        continue;
      }
    } else {
      state.budget.add(records[index].size());
    }
    if (kept != index) {
      types[kept] = std::move(types[index]);
      records[kept] = std::move(records[index]);
    }
    ++kept;
  }
  types.resize(kept);
  records.resize(kept);
  return dropped;
}

[[noreturn]] void report_dropped_records(std::size_t limit) {
  throw py::Error::make(PyExc_MemoryError,
                        "the trace holds " + std::to_string(limit) +
                            " bytes of records, as much as one trace may: its later frame records "
                            "are dropped, until it is built or saved");
}

}  // namespace

void push_frames(ProfilerState& state, Event event, std::vector<std::string>& types,
                 Records& records) {
  if (types.empty()) return;
  const bool dropped = keep_within_budget(state, types, records);
  if (event == Event::Return) {
    std::reverse(records.begin(), records.end());
    std::reverse(types.begin(), types.end());
  }
  const std::size_t thread_id = cached_thread_info(state).native_id;
  if (state.settings.one_trace_per_test) {
    // Positions are counted in what is left after each cut, so that every marker acts on its own
    // record even when one event carries several.
    std::size_t cut = 0;
    for (std::size_t index = 0; index < types.size(); ++index) {
      const std::size_t position = index - cut;
      if (types[index] == "end_test") {
        push_leading(state, thread_id, records, position + 1);
        cut = index + 1;
        save_in_db(state);
      } else if (types[index] == "start_test") {
        push_leading(state, thread_id, records, position);
        cut = index;
        start_new_trace(state);
      }
    }
  }
  push_frame_data(state, thread_id, records);
  if (dropped && state.budget.first_drop()) report_dropped_records(state.budget.limit());
}

}  // namespace vexo::profiler
