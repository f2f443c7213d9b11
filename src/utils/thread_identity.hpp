// The current interpreter thread's name and native id, as threading reports them.
#pragma once

#include <cstddef>
#include <string>

#include "py/ref.hpp"

namespace vexo::thread_identity {

struct ThreadIdentity {
  std::string name;
  std::size_t native_id;
};

// threading.current_thread().name and .native_id. Throws py::Error.
ThreadIdentity current_thread();

}  // namespace vexo::thread_identity
