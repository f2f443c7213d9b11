// A cryptographically secure generator per thread, seeded from the operating system, reseeded
// after a bounded amount of output and in the child after fork.
#pragma once

#include <cstdint>

namespace vexo::secure_random {

std::uint64_t next_u64() noexcept;

// How many times this thread's generator has been seeded so far (0 before its first draw); lets
// tests watch the reseeding after a bounded output and after fork.
std::uint64_t seedings() noexcept;

}  // namespace vexo::secure_random
