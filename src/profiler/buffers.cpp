#include "profiler/buffers.hpp"

#include <algorithm>
#include <iterator>
#include <span>
#include <string>

#include "profiler/frame_record.hpp"
#include "profiler/log_error.hpp"
#include "profiler/save.hpp"
#include "py/error.hpp"

namespace vexo::profiler {

namespace {

// Takes the returning frame off its thread's stack, with any entries above it: those are frames
// whose returns were never recorded (their events failed, or the hook was replaced for a while).
// A frame that is not on the stack (its call was not recorded) leaves the stack as it is, so that
// an entry is never taken off for another frame's return, and none stays behind its own.
void drop_returning_frame(ThreadSlot& slot, PyFrameObject* frame) {
  call_site::CallFrameStack& stack = slot.call_frames;
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

void update_call_frames(ThreadSlot& slot, Event event, PyFrameObject* frame,
                        const std::string* frame_id) {
  if (event == Event::Return) {
    drop_returning_frame(slot, frame);
    return;
  }
  if (frame_id == nullptr) return;
  slot.call_frames.push_back(
      call_site::CallFrame{py::Ref::share(reinterpret_cast<PyObject*>(frame)), *frame_id});
}

call_site::CallFrameStack call_frames_snapshot(ProfilerState& state, std::size_t depth) {
  const call_site::CallFrameStack& stack = state.thread_slot().call_frames;
  std::size_t first = stack.size() > depth ? stack.size() - depth : 0;
  return call_site::CallFrameStack(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
}

const thread_identity::ThreadIdentity& cached_thread_info(ThreadSlot& slot) {
  if (!slot.thread_info) slot.thread_info = thread_identity::current_thread();
  return *slot.thread_info;
}

const thread_identity::ThreadIdentity& cached_thread_info(ProfilerState& state) {
  return cached_thread_info(state.thread_slot());
}

void push_frame_data(ProfilerState& state, std::size_t thread_id, std::span<EventRecord> records) {
  const Settings& settings = state.settings;
  auto append = [records](RecordBuffer& buffer) {
    for (EventRecord& record : records) buffer.push_back(std::move(record.bytes));
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

void start_new_trace(ProfilerState& state) {
  state.start_new_trace();
  report_repeated_failures(state.failures);
}

// Drops the frame records that do not fit in the trace's budget; the other records always go in.
// The first frame record past the budget is kept when it is small, so that no record's values are
// made for nothing: the trace is full from it on. True once the trace is full.
bool keep_within_budget(ProfilerState& state, EventRecords& records) {
  std::size_t kept = 0;
  bool full = false;
  for (EventRecord& record : records) {
    if (record.kind != RecordKind::Frame) {
      state.budget.add(record.bytes.size());
    } else if (!state.budget.take(record.bytes.size())) {
      full = true;
      if (state.budget.full() || record.bytes.size() > state.budget.limit() / 64) continue;
      state.budget.add(record.bytes.size());
    }
    if (&records[kept] != &record) records[kept] = std::move(record);
    ++kept;
  }
  records.resize(kept);
  return full;
}

}  // namespace

void push_frames(ProfilerState& state, Event event, EventRecords& records) {
  if (records.empty()) return;
  const bool full = keep_within_budget(state, records);
  if (event == Event::Return) std::reverse(records.begin(), records.end());
  const std::size_t thread_id = cached_thread_info(state).native_id;
  // Hands over the records from the last cut up to `end`.
  std::size_t cut = 0;
  auto push_until = [&](std::size_t end) {
    push_frame_data(state, thread_id, std::span(records).subspan(cut, end - cut));
    cut = end;
  };
  if (state.settings.one_trace_per_test) {
    // Every marker acts on its own record even when one event carries several.
    for (std::size_t index = 0; index < records.size(); ++index) {
      if (records[index].kind == RecordKind::EndTest) {
        push_until(index + 1);
        save_in_db(state);
      } else if (records[index].kind == RecordKind::StartTest) {
        push_until(index);
        start_new_trace(state);
      }
    }
  }
  push_until(records.size());
  if (full && state.budget.first_drop()) {
    // The trace itself says where and why it stops.
    EventRecord stopped{
        RecordKind::Other,
        encode_recording_stopped(state.budget.limit(), cached_thread_info(state), clock::now())};
    state.budget.add(stopped.bytes.size());
    push_frame_data(state, thread_id, std::span(&stopped, 1));
    report_budget_reached(state.budget.limit());
  }
}

}  // namespace vexo::profiler
