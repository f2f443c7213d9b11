// The recorded frame that called the current one, and the line it is at.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "py/ref.hpp"

namespace vexo::call_site {

// One open recorded call of a thread: the frame object and its frame id.
struct CallFrame {
  py::Ref frame;
  std::string frame_id;
};
using CallFrameStack = std::vector<CallFrame>;

struct UserCodeCallSite {
  std::string call_frame_id;
  std::int32_t line_number;
};

// The same, naming the caller's frame id where the stack holds it: valid while that entry is.
struct CallSiteView {
  std::string_view call_frame_id;
  std::int32_t line_number;
};

// frame.f_lineno as the caller finds it: -1 where the attribute is None.
using LineNumberOf = int (*)(PyFrameObject* frame, void* context);

// Looks at the newest entry and at most one below it; `frame_id` is null for a frame whose
// call was not recorded. Throws py::Error.
std::optional<CallSiteView> user_code_call_site(std::span<const CallFrame> stack,
                                                const std::string* frame_id,
                                                LineNumberOf line_number_of, void* context);
std::optional<UserCodeCallSite> user_code_call_site(std::span<const CallFrame> stack,
                                                    const std::optional<std::string>& frame_id);
inline std::optional<UserCodeCallSite> user_code_call_site(
    CallFrameStack snapshot, const std::optional<std::string>& frame_id) {
  return user_code_call_site(std::span<const CallFrame>(snapshot), frame_id);
}

}  // namespace vexo::call_site
