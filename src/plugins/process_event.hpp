// What one plugin processor makes of one call or return event.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "plugins/processor.hpp"
#include "py/ref.hpp"
#include "utils/call_site.hpp"
#include "utils/dump.hpp"
#include "utils/msgpack_writer.hpp"
#include "utils/thread_identity.hpp"

namespace vexo::plugins {

struct PluginEvent {
  PyFrameObject* frame;
  bool is_call;
  PyObject* event_name;  // the str "call" or "return"
  PyObject* arg;
  std::string_view filename;
  dump::Dumper dumper;
  // A copy of the open recorded calls of the thread, newest last.
  std::function<call_site::CallFrameStack()> call_frames;
  // The thread's identity as its frame records give it: asked of the threading module once per
  // thread, because asking a thread that threading has already let go of (one running the
  // finalizers of its thread-local values as it ends) makes threading register a dummy thread.
  std::function<const thread_identity::ThreadIdentity&()> thread;
};

struct PluginRecord {
  std::string type;
  msgpack::Bytes record;
};

// The fields a plugin record starts with, as a dict to add its own to: its frame id, the time,
// the thread, the call site in the nearest recorded caller (from the thread's open recorded
// calls) and its type.
py::Ref record_head(const std::string& frame_id, const thread_identity::ThreadIdentity& thread,
                    call_site::CallFrameStack call_frames, std::string_view type);

// Nothing when the processor does not apply; throws py::Error for a failure of this processor
// alone, py::Fatal/py::Broken for broken invariants.
std::optional<PluginRecord> process_plugin_event(PluginProcessor& processor,
                                                 const PluginEvent& event);

}  // namespace vexo::plugins
