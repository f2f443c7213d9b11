// The profiler state behind one VexoProfiler instance.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "filters/path_finder.hpp"
#include "plugins/processor.hpp"
#include "profiler/code_cache.hpp"
#include "profiler/exception_record.hpp"
#include "profiler/failure_log.hpp"
#include "profiler/generator_steps.hpp"
#include "profiler/plugin_lock.hpp"
#include "profiler/records.hpp"
#include "profiler/trace_budget.hpp"
#include "utils/call_site.hpp"
#include "utils/dump.hpp"
#include "utils/thread_identity.hpp"

namespace vexo::profiler {

// What one thread keeps between its events; only that thread ever touches it.
struct ThreadSlot {
  call_site::CallFrameStack call_frames;
  // Frame address to the frame id of that frame's latest recorded call.
  std::unordered_map<const void*, std::string> frame_ids;
  std::optional<thread_identity::ThreadIdentity> thread_info;
  // Where this thread's frame records are written before they are copied out at their size, and
  // their texts put together: reused from event to event.
  msgpack::Bytes scratch;
  // The dumps of a frame record's "arg" and "locals", reused in the same way.
  msgpack::Bytes arg_dump;
  msgpack::Bytes locals_dump;
  std::string path;
  std::string qualname;
  // The records of one event.
  EventRecords records;
  // A frame left by an exception that the profile hook could not see yet (see lib/hook.cpp).
  std::optional<LeftByException> awaited_exception;
  GeneratorSteps generator_steps;
};

template <class Value>
struct Guarded {
  std::mutex lock;
  Value value;
};

struct Settings {
  std::string db_path;
  std::string source;
  bool one_trace_per_test = false;
  std::vector<filters::PathFinder> include_frames;
  std::vector<filters::PathFinder> ignore_frames;
  std::size_t sqlite_busy_timeout = 60;
  std::size_t max_trace_bytes = TraceBudget::kDefaultLimit;
  bool threading = false;
  dump::Dumper dumper = dump::Dumper::kPlain;  // from the "values" and "lightweight_repr" keys
  std::size_t main_thread_id = 0;
  double timestamp = 0.0;
};

class ProfilerState {
 public:
  // `code_cache` is the one shared by the profilers of these filters and plugins, when known.
  ProfilerState(Settings settings, std::string trace_id, plugins::PluginTable plugins,
                std::shared_ptr<CodeCache> code_cache = nullptr);
  ProfilerState(const ProfilerState&) = delete;
  ProfilerState& operator=(const ProfilerState&) = delete;

  // Built from the package's profiler object; throws py::Error or py::Fatal.
  static std::unique_ptr<ProfilerState> new_from_python(PyObject* profiler);
  // A new trace under the settings and plugins of `model`, which records nothing itself: a
  // server's request, without reading the configuration and loading the plugins again.
  static std::unique_ptr<ProfilerState> new_like(const ProfilerState& model, std::string source);

  const Settings settings;

  Guarded<std::string> trace_id;
  Guarded<RecordBuffer> frames_of_interest;
  Guarded<ThreadRecords> frames;
  // The bytes of records the buffers hold, against the limit of one trace.
  TraceBudget budget;
  // The failures of this trace's events that have been logged.
  FailureLog failures;

  PluginLock plugin_lock;
  plugins::PluginTable plugins;  // guarded by plugin_lock

  // Per code object: names, path answers, plugins. Guarded by the interpreter lock.
  CodeInfo code_info(PyObject* code) {
    return code_cache_->lookup(code, settings.include_frames, settings.ignore_frames, plugins);
  }

  // frame.f_lineno (-1 where it is None), remembered per instruction of the code objects seen.
  int line_number(PyFrameObject* frame) { return code_cache_->line_number(frame); }

  // Whether an event of `code` is known to have no effect at all (library code that no plugin
  // watches), from the code's earlier events. Calls nothing of the interpreter's.
  bool ignores(const PyObject* code) noexcept {
    const CodeInfo* info = code_cache_->find(code);
    return info != nullptr && !info->may_matter();
  }

  // In a child process after fork: the parent's buffered records stay with the parent, the child
  // traces under a trace id of its own, and locks held by threads the child does not have are
  // freed. Cheap when nothing changed; called before the state is used from the interpreter.
  void renew_after_fork();

  // Goes on under a new trace id with empty buffers and a whole budget.
  void start_new_trace();

  // The current trace's memo of the values it has written in full (vexo.serialize.ValueMemo),
  // made by the trace's first dump that uses one. Guarded by the interpreter lock.
  py::Ref value_memo();

  // Interpreter references held by the state, for the garbage collector.
  int traverse(visitproc visit, void* arg);
  void clear_references();

  // The calling thread's slot, made empty on its first use. A thread started after another has
  // ended gets a slot of its own, never the ended thread's.
  ThreadSlot& thread_slot();
  // The calling thread's slot if it has one.
  ThreadSlot* existing_thread_slot();

 private:
  ThreadSlot* find_slot(bool create);

  void renew_in_child(std::uint64_t generation);

  std::shared_ptr<CodeCache> code_cache_;
  py::Ref value_memo_;
  std::uint64_t value_memo_trace_ = 0;      // the budget's trace number it belongs to
  std::uint64_t last_thread_state_id_ = 0;  // 0 is no thread's id
  ThreadSlot* last_slot_ = nullptr;
  std::atomic<std::uint64_t> fork_generation_;
  std::mutex slots_lock_;
  std::unordered_map<std::uint64_t, std::unique_ptr<ThreadSlot>> slots_;
};

}  // namespace vexo::profiler
