#include "profiler/state.hpp"

#include <atomic>

#include "py/names.hpp"
#include "py/object.hpp"
#include "utils/fork_generation.hpp"
#include "utils/ulid.hpp"

namespace vexo::profiler {

namespace {

std::uint64_t current_thread_state_id() noexcept {
  return PyThreadState_GetID(PyThreadState_Get());
}

}  // namespace

ProfilerState::ProfilerState(Settings settings_in, std::string trace_id_in,
                             plugins::PluginTable plugins_in, std::shared_ptr<CodeCache> code_cache)
    : settings(std::move(settings_in)),
      budget(settings.max_trace_bytes),
      plugins(std::move(plugins_in)),
      code_cache_(
          code_cache ? std::move(code_cache)
                     : CodeCache::shared(settings.include_frames, settings.ignore_frames, plugins)),
      fork_generation_(fork_generation::current()) {
  trace_id.value = std::move(trace_id_in);
}

ThreadSlot* ProfilerState::find_slot(bool create) {
  // Interpreter thread-state ids are never reused, so a thread started after another has ended
  // cannot meet the ended thread's slot, unlike with thread idents or native ids.
  std::uint64_t thread_state_id = current_thread_state_id();
  // The last thread's slot is remembered: events come in runs from one thread between switches
  // of the interpreter lock, which guards these two fields.
  if (thread_state_id == last_thread_state_id_) return last_slot_;
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
  if (slot != nullptr) {
    last_thread_state_id_ = thread_state_id;
    last_slot_ = slot;
  }
  return slot;
}

void ProfilerState::renew_after_fork() {
  const std::uint64_t generation = fork_generation::current();
  if (generation != fork_generation_.load(std::memory_order_relaxed)) renew_in_child(generation);
}

void ProfilerState::renew_in_child(std::uint64_t generation) {
  fork_generation_.store(generation, std::memory_order_relaxed);
  plugin_lock.release_if_held_by_another_thread();
  // Only the forking thread exists in the child, and it holds the interpreter lock: no other
  // thread can be inside the buffers' locks, which are never held across interpreter code.
  start_new_trace();
}

void ProfilerState::start_new_trace() {
  std::string new_trace_id = ulid::new_trace_id();
  std::scoped_lock guard(trace_id.lock, frames_of_interest.lock, frames.lock);
  trace_id.value = std::move(new_trace_id);
  frames_of_interest.value.clear();
  frames.value.clear();
  budget.reset();
}

py::Ref ProfilerState::value_memo() {
  const std::uint64_t trace = budget.trace_number();
  if (!value_memo_ || value_memo_trace_ != trace) {
    static py::ModuleAttribute* const memo_type =
        new py::ModuleAttribute("vexo.serialize", py::names().ValueMemo);
    py::Ref made = py::call(memo_type->get().get(), {});
    std::swap(value_memo_, made);
    value_memo_trace_ = trace;
  }
  return value_memo_;
}

int ProfilerState::traverse(visitproc visit, void* arg) {
  for (auto& [name, processors] : plugins) {
    for (plugins::PluginProcessor& processor : processors) {
      Py_VISIT(processor.context.get());
      Py_VISIT(processor.call.get());
      Py_VISIT(processor.process.get());
    }
  }
  std::lock_guard<std::mutex> guard(slots_lock_);
  for (auto& [id, slot] : slots_) {
    for (call_site::CallFrame& entry : slot->call_frames) Py_VISIT(entry.frame.get());
  }
  return 0;
}

void ProfilerState::clear_references() {
  // Only reached for a profiler that nothing can call any more. Releasing a frame can run
  // finalizers, so nothing is released while a lock is held. A cache that other profilers share
  // stays whole: code objects hold nothing that could lead back to a profiler.
  if (code_cache_.use_count() == 1) code_cache_->clear();
  plugins::PluginTable released_plugins = std::move(plugins);
  plugins.clear();
  py::Ref released_memo = std::move(value_memo_);
  std::vector<call_site::CallFrameStack> released_frames;
  {
    std::lock_guard<std::mutex> guard(slots_lock_);
    for (auto& [id, slot] : slots_) released_frames.push_back(std::move(slot->call_frames));
  }
}

ThreadSlot& ProfilerState::thread_slot() { return *find_slot(true); }

ThreadSlot* ProfilerState::existing_thread_slot() { return find_slot(false); }

}  // namespace vexo::profiler
