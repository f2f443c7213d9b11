// How many times this process came out of fork() as the child. State that must not be shared
// between parent and child (random generators, buffered records, locks held by threads that the
// child no longer has) compares the value it saw last and renews itself when it changed.
#pragma once

#include <cstdint>

namespace vexo::fork_generation {

std::uint64_t current() noexcept;

}  // namespace vexo::fork_generation
