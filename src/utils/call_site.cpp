#include "utils/call_site.hpp"

#include "py/convert.hpp"
#include "py/frames.hpp"
#include "py/object.hpp"

namespace vexo::call_site {

namespace {

// On "return" the newest entry is the returning frame itself, so its caller is one below; the
// search never goes further down, whatever the stack holds.
const CallFrame* calling_entry(std::span<const CallFrame> stack, const std::string& frame_id) {
  constexpr std::size_t kEntriesLookedAt = 2;
  for (std::size_t depth = 0; depth < kEntriesLookedAt && depth < stack.size(); ++depth) {
    const CallFrame& entry = stack[stack.size() - 1 - depth];
    if (entry.frame_id != frame_id) return &entry;
  }
  return nullptr;
}

}  // namespace

std::optional<UserCodeCallSite> user_code_call_site(std::span<const CallFrame> stack,
                                                    const std::optional<std::string>& frame_id) {
  std::optional<CallSiteView> site = user_code_call_site(
      stack, frame_id ? &*frame_id : nullptr,
      [](PyFrameObject* frame, void*) { return py::frame_lineno(frame); }, nullptr);
  if (!site) return std::nullopt;
  return UserCodeCallSite{std::string(site->call_frame_id), site->line_number};
}

std::optional<CallSiteView> user_code_call_site(std::span<const CallFrame> stack,
                                                const std::string* frame_id,
                                                LineNumberOf line_number_of, void* context) {
  if (frame_id == nullptr) return std::nullopt;
  const CallFrame* entry = calling_entry(stack, *frame_id);
  if (entry == nullptr) return std::nullopt;
  PyObject* frame = entry->frame.get();
  if (!py::is_frame(frame)) py::throw_downcast(frame, "PyFrame");
  // What the frame reports at this moment; where it has no line the attribute's answer (None) is
  // refused like any other value that is not a line number.
  int line = line_number_of(reinterpret_cast<PyFrameObject*>(frame), context);
  if (line >= 0) return CallSiteView{entry->frame_id, line};
  return CallSiteView{entry->frame_id, py::to_i32(py::getattr(frame, py::names().f_lineno).get())};
}

}  // namespace vexo::call_site
