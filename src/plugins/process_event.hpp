// What one plugin processor makes of one call or return event.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "plugins/processor.hpp"
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

// Nothing when the processor does not apply; throws py::Error for a failure of this processor
// alone, py::Fatal/py::Broken for broken invariants.
std::optional<PluginRecord> process_plugin_event(PluginProcessor& processor,
                                                 const PluginEvent& event);

}  // namespace vexo::plugins
