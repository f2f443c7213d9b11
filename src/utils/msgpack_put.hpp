// The MessagePack forms written through a raw cursor into memory the caller has made room for.
// The writers (msgpack_writer.hpp) and the frame record encoder are built on these, so every form
// has one definition.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace vexo::msgpack::put {

// The most a header (tag and length or value) takes.
inline constexpr std::size_t kMaxHeader = 9;

// Lengths beyond 32 bits have no encoding; they cannot come from anything held in memory here.
[[noreturn]] void too_long();

inline std::uint8_t* tagged(std::uint8_t* at, std::uint8_t tag, std::uint64_t value, int width) {
  *at++ = tag;
  for (int i = width - 1; i >= 0; --i) *at++ = static_cast<std::uint8_t>(value >> (8 * i));
  return at;
}

inline std::uint8_t* bytes(std::uint8_t* at, std::span<const std::uint8_t> data) {
  if (!data.empty()) std::memcpy(at, data.data(), data.size());
  return at + data.size();
}

inline std::uint8_t* bytes(std::uint8_t* at, std::string_view data) {
  if (!data.empty()) std::memcpy(at, data.data(), data.size());
  return at + data.size();
}

inline std::uint8_t* nil(std::uint8_t* at) {
  *at = 0xc0;
  return at + 1;
}

inline std::uint8_t* boolean(std::uint8_t* at, bool value) {
  *at = value ? 0xc3 : 0xc2;
  return at + 1;
}

inline std::uint8_t* str_header(std::uint8_t* at, std::size_t size) {
  if (size < 32) {
    *at = static_cast<std::uint8_t>(0xa0 | size);
    return at + 1;
  }
  if (size <= 0xff) return tagged(at, 0xd9, size, 1);
  if (size <= 0xffff) return tagged(at, 0xda, size, 2);
  if (size <= 0xffffffff) return tagged(at, 0xdb, size, 4);
  too_long();
}

inline std::uint8_t* str(std::uint8_t* at, std::string_view text) {
  return bytes(str_header(at, text.size()), text);
}

inline std::uint8_t* container_header(std::uint8_t* at, std::size_t size, std::uint8_t fix,
                                      std::uint8_t tag16, std::uint8_t tag32) {
  if (size < 16) {
    *at = static_cast<std::uint8_t>(fix | size);
    return at + 1;
  }
  if (size <= 0xffff) return tagged(at, tag16, size, 2);
  if (size <= 0xffffffff) return tagged(at, tag32, size, 4);
  too_long();
}

inline std::uint8_t* map_header(std::uint8_t* at, std::size_t entries) {
  return container_header(at, entries, 0x80, 0xde, 0xdf);
}

inline std::uint8_t* array_header(std::uint8_t* at, std::size_t items) {
  return container_header(at, items, 0x90, 0xdc, 0xdd);
}

inline std::uint8_t* uint(std::uint8_t* at, std::uint64_t value) {
  if (value < 0x80) {
    *at = static_cast<std::uint8_t>(value);
    return at + 1;
  }
  if (value <= 0xff) return tagged(at, 0xcc, value, 1);
  if (value <= 0xffff) return tagged(at, 0xcd, value, 2);
  if (value <= 0xffffffff) return tagged(at, 0xce, value, 4);
  return tagged(at, 0xcf, value, 8);
}

inline std::uint8_t* integer(std::uint8_t* at, std::int64_t value) {
  if (value >= 0) return uint(at, static_cast<std::uint64_t>(value));
  // Two's complement: the low bytes of the 64-bit pattern are the narrower encodings.
  auto bits = static_cast<std::uint64_t>(value);
  if (value >= -32) {
    *at = static_cast<std::uint8_t>(bits);  // negative fixint, 0xe0..0xff
    return at + 1;
  }
  if (value >= INT8_MIN) return tagged(at, 0xd0, bits, 1);
  if (value >= INT16_MIN) return tagged(at, 0xd1, bits, 2);
  if (value >= INT32_MIN) return tagged(at, 0xd2, bits, 4);
  return tagged(at, 0xd3, bits, 8);
}

// A bin value's header (bytes have no fixed-size form).
inline std::uint8_t* bin_header(std::uint8_t* at, std::size_t size) {
  if (size <= 0xff) return tagged(at, 0xc4, size, 1);
  if (size <= 0xffff) return tagged(at, 0xc5, size, 2);
  return tagged(at, 0xc6, size, 4);
}

// An ext value's header and type, in the shortest form, as msgpack.packb writes one.
inline std::uint8_t* ext_header(std::uint8_t* at, std::int8_t type, std::size_t size) {
  switch (size) {
    case 1:
      *at++ = 0xd4;
      break;
    case 2:
      *at++ = 0xd5;
      break;
    case 4:
      *at++ = 0xd6;
      break;
    case 8:
      *at++ = 0xd7;
      break;
    case 16:
      *at++ = 0xd8;
      break;
    default:
      if (size <= 0xff) {
        at = tagged(at, 0xc7, size, 1);
      } else if (size <= 0xffff) {
        at = tagged(at, 0xc8, size, 2);
      } else {
        at = tagged(at, 0xc9, size, 4);
      }
  }
  *at = static_cast<std::uint8_t>(type);
  return at + 1;
}

inline std::uint8_t* f64(std::uint8_t* at, double value) {
  return tagged(at, 0xcb, std::bit_cast<std::uint64_t>(value), 8);
}

// A short str known when compiling, encoded then: a record's keys are each one run of bytes.
template <const std::string_view& kText>
inline constexpr auto kFixstr = [] {
  static_assert(kText.size() < 32, "a fixstr holds at most 31 bytes");
  std::array<std::uint8_t, kText.size() + 1> encoded{};
  encoded[0] = static_cast<std::uint8_t>(0xa0 | kText.size());
  for (std::size_t i = 0; i < kText.size(); ++i) {
    encoded[i + 1] = static_cast<std::uint8_t>(kText[i]);
  }
  return encoded;
}();

template <const std::string_view& kText>
inline std::uint8_t* fixstr(std::uint8_t* at) {
  return bytes(at, std::span<const std::uint8_t>(kFixstr<kText>));
}

}  // namespace vexo::msgpack::put
