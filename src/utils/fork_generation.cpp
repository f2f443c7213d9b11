#include "utils/fork_generation.hpp"

#include <pthread.h>

#include <atomic>

namespace vexo::fork_generation {

namespace {

std::atomic<std::uint64_t> generation{0};

void after_fork_in_child() noexcept { generation.fetch_add(1, std::memory_order_relaxed); }

// Registered while the module is loaded, before any thread can fork: registering lazily could
// race with a fork in another thread and leave the child with a half-taken initialisation guard.
[[maybe_unused]] const int fork_handler_registered =
    pthread_atfork(nullptr, nullptr, after_fork_in_child);

}  // namespace

std::uint64_t current() noexcept { return generation.load(std::memory_order_relaxed); }

}  // namespace vexo::fork_generation
