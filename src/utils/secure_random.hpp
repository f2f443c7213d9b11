// A cryptographically secure generator per thread, seeded from the operating system, reseeded
// after a bounded amount of output and in the child after fork.
#pragma once

#include <cstdint>

namespace vexo::secure_random {

std::uint64_t next_u64() noexcept;

}  // namespace vexo::secure_random
