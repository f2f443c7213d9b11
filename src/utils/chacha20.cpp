#include "utils/chacha20.hpp"

#include <bit>
#include <cstddef>

namespace vexo::chacha20 {

namespace {

// "expand 32-byte k" as four little-endian words.
constexpr std::array<std::uint32_t, 4> kSigma = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};

inline void quarter_round(Block& x, int a, int b, int c, int d) noexcept {
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 7);
}

inline std::uint32_t load_le(const std::uint8_t* bytes) noexcept {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

Block block(const Key& key, std::uint32_t counter, const Nonce& nonce) noexcept {
  Block input{};
  for (std::size_t i = 0; i < 4; ++i) input[i] = kSigma[i];
  for (std::size_t i = 0; i < 8; ++i) input[4 + i] = key[i];
  input[12] = counter;
  for (std::size_t i = 0; i < 3; ++i) input[13 + i] = nonce[i];

  Block state = input;
  for (int round = 0; round < 10; ++round) {
    quarter_round(state, 0, 4, 8, 12);  // columns
    quarter_round(state, 1, 5, 9, 13);
    quarter_round(state, 2, 6, 10, 14);
    quarter_round(state, 3, 7, 11, 15);
    quarter_round(state, 0, 5, 10, 15);  // diagonals
    quarter_round(state, 1, 6, 11, 12);
    quarter_round(state, 2, 7, 8, 13);
    quarter_round(state, 3, 4, 9, 14);
  }
  for (std::size_t i = 0; i < 16; ++i) state[i] += input[i];
  return state;
}

Key key_from_bytes(const std::array<std::uint8_t, 32>& bytes) noexcept {
  Key key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = load_le(&bytes[4 * i]);
  return key;
}

Nonce nonce_from_bytes(const std::array<std::uint8_t, 12>& bytes) noexcept {
  Nonce nonce{};
  for (std::size_t i = 0; i < nonce.size(); ++i) nonce[i] = load_le(&bytes[4 * i]);
  return nonce;
}

}  // namespace vexo::chacha20
