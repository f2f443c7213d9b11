#include "profiler/state.hpp"

#include <atomic>

namespace vexo::profiler {

namespace {

std::atomic<std::uint64_t> next_serial{1};

// The calling thread's last slot lookup. Interpreter thread-state ids are never reused, so a
// thread started after another has ended cannot meet the ended thread's slot, unlike with
// thread idents or native ids.
struct SlotCache {
  std::uint64_t profiler_serial = 0;
  std::uint64_t thread_state_id = 0;
  ThreadSlot* slot = nullptr;
};
thread_local SlotCache slot_cache;

std::uint64_t current_thread_state_id() noexcept {
  return PyThreadState_GetID(PyThreadState_Get());
}

}  // namespace

ProfilerState::ProfilerState(Settings settings_in, std::string trace_id_in,
                             plugins::PluginTable plugins_in)
    : settings(std::move(settings_in)),
      plugins(std::move(plugins_in)),
      serial_(next_serial.fetch_add(1)) {
  trace_id.value = std::move(trace_id_in);
}

ThreadSlot* ProfilerState::find_slot(bool create) {
  std::uint64_t thread_state_id = current_thread_state_id();
  SlotCache& cache = slot_cache;
  if (cache.profiler_serial == serial_ && cache.thread_state_id == thread_state_id) {
    return cache.slot;
  }
  ThreadSlot* slot = nullptr;
  {
    std::lock_guard<std::mutex> guard(slots_lock_);
    auto found = slots_.find(thread_state_id);
    if (found != slots_.end()) {
      slot = found->second.get();
    } else if (create) {
      slot = slots_.emplace(thread_state_id, std::make_unique<ThreadSlot>()).first->second.get();
    }
  }
  if (slot != nullptr) cache = SlotCache{serial_, thread_state_id, slot};
  return slot;
}

ThreadSlot& ProfilerState::thread_slot() { return *find_slot(true); }

ThreadSlot* ProfilerState::existing_thread_slot() { return find_slot(false); }

}  // namespace vexo::profiler
