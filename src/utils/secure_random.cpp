#include "utils/secure_random.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "utils/chacha20.hpp"
#include "utils/clock.hpp"
#include "utils/fork_generation.hpp"

namespace vexo::secure_random {

namespace {

using Seed = std::array<std::uint8_t, 32 + 12>;

// One seed yields at most this many keystream blocks (1 MiB) before the key is replaced.
constexpr std::uint32_t kBlocksPerSeed = (1U << 20) / 64;
constexpr std::size_t kWordsPerBlock = 16;

struct Generator {
  chacha20::Key key{};
  chacha20::Nonce nonce{};
  std::uint32_t next_block = 0;
  chacha20::Block words{};
  std::size_t next_word = kWordsPerBlock;
  std::uint64_t generation = 0;
  std::uint64_t seedings = 0;
};

// Constant-initialised and trivially destructible: no guard or destructor registration per thread.
constinit thread_local Generator generator{};

bool fill_from_getrandom(Seed& seed) noexcept {
  std::size_t done = 0;
  while (done < seed.size()) {
    ssize_t got = getrandom(seed.data() + done, seed.size() - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

// For kernels without getrandom (ENOSYS) or sandboxes that forbid it.
bool fill_from_urandom(Seed& seed) noexcept {
  int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < seed.size()) {
    ssize_t got = read(fd, seed.data() + done, seed.size() - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  close(fd);
  return done == seed.size();
}

// With no entropy source at all, ids must still differ between threads, processes and runs;
// stopping the traced program would be worse. Stirs what differs into the old key instead.
void fill_from_circumstances(Seed& seed, const Generator& state) noexcept {
  clock::WallTime now = clock::now();
  const std::uint64_t parts[] = {static_cast<std::uint64_t>(now.seconds),
                                 static_cast<std::uint64_t>(now.nanoseconds),
                                 static_cast<std::uint64_t>(getpid()),
                                 reinterpret_cast<std::uintptr_t>(&state), state.seedings};
  chacha20::Nonce nonce{};
  for (std::size_t i = 0; i < 5; ++i) nonce[i % 3] ^= static_cast<std::uint32_t>(parts[i] >> 32);
  chacha20::Key key = state.key;
  for (std::size_t i = 0; i < 5; ++i) key[i] ^= static_cast<std::uint32_t>(parts[i]);
  chacha20::Block stirred = chacha20::block(key, 0, nonce);
  std::memcpy(seed.data(), stirred.data(), seed.size());
}

void reseed(Generator& state, std::uint64_t generation) noexcept {
  int saved_errno = errno;  // the interpreter may look at errno after we return
  Seed seed;
  if (!fill_from_getrandom(seed) && !fill_from_urandom(seed)) {
    fill_from_circumstances(seed, state);
  }
  errno = saved_errno;

  std::array<std::uint8_t, 32> key_bytes;
  std::array<std::uint8_t, 12> nonce_bytes;
  std::memcpy(key_bytes.data(), seed.data(), key_bytes.size());
  std::memcpy(nonce_bytes.data(), seed.data() + key_bytes.size(), nonce_bytes.size());
  state.key = chacha20::key_from_bytes(key_bytes);
  state.nonce = chacha20::nonce_from_bytes(nonce_bytes);
  explicit_bzero(seed.data(), seed.size());
  explicit_bzero(key_bytes.data(), key_bytes.size());

  state.next_block = 0;
  state.next_word = kWordsPerBlock;  // words buffered under the old key are never handed out
  state.generation = generation;
  ++state.seedings;
}

void refill(Generator& state) noexcept {
  if (state.next_block == kBlocksPerSeed) reseed(state, state.generation);
  state.words = chacha20::block(state.key, state.next_block++, state.nonce);
  state.next_word = 0;
}

}  // namespace

std::uint64_t next_u64() noexcept {
  Generator& state = generator;
  // A generator seeded before a fork was copied from the parent and would repeat the parent's
  // sequence, so the child reseeds before its next draw.
  std::uint64_t generation = fork_generation::current();
  if (state.seedings == 0 || state.generation != generation) reseed(state, generation);
  if (state.next_word == kWordsPerBlock) refill(state);
  std::uint64_t low = state.words[state.next_word];
  std::uint64_t high = state.words[state.next_word + 1];
  state.next_word += 2;
  return low | high << 32;
}

std::uint64_t seedings() noexcept { return generator.seedings; }

}  // namespace vexo::secure_random
