// The ChaCha20 block function (20 rounds, 32-bit block counter, 96-bit nonce), the keystream
// under the per-thread secure generator.
#pragma once

#include <array>
#include <cstdint>

namespace vexo::chacha20 {

using Key = std::array<std::uint32_t, 8>;
using Nonce = std::array<std::uint32_t, 3>;
using Block = std::array<std::uint32_t, 16>;

// The keystream block `counter` for `key` and `nonce`, as 16 words; serialised little-endian
// word by word they are the 64 keystream bytes.
Block block(const Key& key, std::uint32_t counter, const Nonce& nonce) noexcept;

// Key and nonce words from their byte form (little-endian words, as the cipher reads them).
Key key_from_bytes(const std::array<std::uint8_t, 32>& bytes) noexcept;
Nonce nonce_from_bytes(const std::array<std::uint8_t, 12>& bytes) noexcept;

}  // namespace vexo::chacha20
