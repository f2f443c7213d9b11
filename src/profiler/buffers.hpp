// Each thread's stack of open recorded calls, and the buffers the records wait in.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "profiler/state.hpp"
#include "utils/document_layout.hpp"

namespace vexo::profiler {

enum class Event { Call, Return };

inline const char* event_name(Event event) noexcept {
  return (event == Event::Call ? layout::event::kCall : layout::event::kReturn).data();
}

// Pushes a recorded call; on a return, takes the returning frame off the stack with whatever
// stands above it (frames whose returns were not recorded), and leaves a stack without it alone.
void update_call_frames(ThreadSlot& slot, Event event, PyFrameObject* frame,
                        const std::string* frame_id);

// The newest `depth` entries of the calling thread's stack, with their own references: all that
// the call-site rule ever looks at.
call_site::CallFrameStack call_frames_snapshot(ProfilerState& state, std::size_t depth = 2);

// Hands over one event's records, acting on the test markers when one trace per test is
// configured. Throws py::Error (thread identity or saving failed).
void push_frames(ProfilerState& state, Event event, EventRecords& records);

// Moves the records' bytes to the end of the buffer of the thread with this native id.
void push_frame_data(ProfilerState& state, std::size_t thread_id, std::span<EventRecord> records);

// The calling thread's identity, asked once and then cached in its slot.
const thread_identity::ThreadIdentity& cached_thread_info(ThreadSlot& slot);
const thread_identity::ThreadIdentity& cached_thread_info(ProfilerState& state);

}  // namespace vexo::profiler
