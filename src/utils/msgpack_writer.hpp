// The MessagePack writers, the one set for every encoder here: the core's documents and records
// and the compiled dumps. Always the shortest form for strings, integers, maps, arrays, bins and
// exts, float64 for floats; the forms themselves are in msgpack_put.hpp.
//
// A writer appends to a destination that gives room for some bytes, `room(out, count)`, and then
// keeps the part of it written, `advance_to(out, end)`: a byte vector here, or a buffer that
// defines the two beside itself (found by argument-dependent lookup). Both inline, so a write
// into a buffer that has room is a few stores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "utils/msgpack_put.hpp"

namespace vexo::msgpack {

using Bytes = std::vector<std::uint8_t>;

inline std::uint8_t* room(Bytes& out, std::size_t count) {
  const std::size_t at = out.size();
  out.resize(at + count);
  return out.data() + at;
}

inline void advance_to(Bytes& out, const std::uint8_t* end) {
  out.resize(static_cast<std::size_t>(end - out.data()));
}

namespace write {

template <class Out>
void nil(Out& out) {
  advance_to(out, put::nil(room(out, 1)));
}

template <class Out>
void boolean(Out& out, bool value) {
  advance_to(out, put::boolean(room(out, 1), value));
}

// A str value from its UTF-8 bytes.
template <class Out>
void str(Out& out, std::string_view utf8) {
  advance_to(out, put::str(room(out, put::kMaxHeader + utf8.size()), utf8));
}

template <class Out>
void uint(Out& out, std::uint64_t value) {
  advance_to(out, put::uint(room(out, put::kMaxHeader), value));
}

// Shortest signed form for negative values, unsigned forms for the others.
template <class Out>
void integer(Out& out, std::int64_t value) {
  advance_to(out, put::integer(room(out, put::kMaxHeader), value));
}

template <class Out>
void f64(Out& out, double value) {
  advance_to(out, put::f64(room(out, put::kMaxHeader), value));
}

template <class Out>
void map_header(Out& out, std::size_t entries) {
  advance_to(out, put::map_header(room(out, put::kMaxHeader), entries));
}

template <class Out>
void array_header(Out& out, std::size_t items) {
  advance_to(out, put::array_header(room(out, put::kMaxHeader), items));
}

template <class Out>
void bin(Out& out, std::span<const std::uint8_t> data) {
  std::uint8_t* at = room(out, put::kMaxHeader + data.size());
  advance_to(out, put::bytes(put::bin_header(at, data.size()), data));
}

// An ext value of that type holding `data`.
template <class Out>
void ext(Out& out, std::int8_t type, std::span<const std::uint8_t> data) {
  std::uint8_t* at = room(out, put::kMaxHeader + 1 + data.size());
  advance_to(out, put::bytes(put::ext_header(at, type, data.size()), data));
}

// Bytes that already hold whole values.
template <class Out>
void raw(Out& out, std::span<const std::uint8_t> data) {
  advance_to(out, put::bytes(room(out, data.size()), data));
}

// Whether a str or bin of `size` bytes can be written at all: MessagePack lengths stop at 32 bits.
inline bool fits(std::size_t size) { return size <= 0xffffffffu; }

// One map entry each; the key is always a string.
template <class Out>
void str_pair(Out& out, std::string_view key, std::optional<std::string_view> value) {
  str(out, key);
  if (value) {
    str(out, *value);
  } else {
    nil(out);
  }
}

// Appends `value` unchanged and leaves it empty.
template <class Out>
void raw_pair(Out& out, std::string_view key, Bytes& value) {
  str(out, key);
  raw(out, value);
  value.clear();
}

// Appends an encoded value that lies elsewhere, unchanged.
template <class Out>
void raw_pair(Out& out, std::string_view key, std::span<const std::uint8_t> value) {
  str(out, key);
  raw(out, value);
}

template <class Out>
void int_pair(Out& out, std::string_view key, std::size_t value) {
  str(out, key);
  uint(out, value);
}

template <class Out>
void f64_pair(Out& out, std::string_view key, double value) {
  str(out, key);
  f64(out, value);
}

}  // namespace write

}  // namespace vexo::msgpack
