// Reads MessagePack in place, without making interpreter objects of what it passes over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "py/ref.hpp"

namespace vexo::msgpack {

constexpr size_t kNone = SIZE_MAX;

struct Span {
  size_t start = kNone;
  size_t end = kNone;
  bool present() const noexcept { return start != kNone; }
};

// The kind of a value, by its first byte.
inline bool is_map(uint8_t code) noexcept {
  return (code & 0xf0) == 0x80 || code == 0xde || code == 0xdf;
}
inline bool is_container(uint8_t code) noexcept {
  return (code >= 0x80 && code <= 0x9f) || (code >= 0xdc && code <= 0xdf);
}
inline bool is_text(uint8_t code) noexcept {
  return (code >= 0xa0 && code <= 0xbf) || (code >= 0xd9 && code <= 0xdb);
}
inline bool is_extension(uint8_t code) noexcept {
  return (code >= 0xc7 && code <= 0xc9) || (code >= 0xd4 && code <= 0xd8);
}
// An integer or a float (a bool is not).
inline bool is_number(uint8_t code) noexcept {
  return code <= 0x7f || code >= 0xe0 || (code >= 0xca && code <= 0xd3);
}

// Raises ValueError: the document ends inside a value or holds a byte no value starts with.
[[noreturn]] void damaged();

class Reader {
 public:
  Reader(const uint8_t* data, size_t size, size_t position) noexcept
      : data_(data), size_(size), position_(position) {}

  size_t position() const noexcept { return position_; }
  uint8_t peek() const {
    if (position_ >= size_) damaged();
    return data_[position_];
  }

  // The type of the extension value that is next (the value must be one).
  int8_t extension_type() const {
    const uint8_t code = peek();
    const size_t offset = code >= 0xd4 ? 1 : 1 + (size_t{1} << (code - 0xc7));
    if (offset >= size_ - position_) damaged();
    return static_cast<int8_t>(data_[position_ + offset]);
  }

  // The number of items of an array (or of key-value pairs of a map) whose header is next, or
  // kNone when the next value is not of that kind.
  size_t array_header() { return header(0x90, 0xdc); }
  size_t map_header() { return header(0x80, 0xde); }

  // The payload of a str value that is next, or false when the next value is no str.
  bool text(std::string_view& out) {
    const uint8_t code = peek();
    size_t length = 0;
    if (code >= 0xa0 && code <= 0xbf) {
      length = code & 0x1f;
      position_ += 1;
    } else if (code >= 0xd9 && code <= 0xdb) {
      position_ += 1;
      length = number(size_t{1} << (code - 0xd9));
    } else {
      return false;
    }
    out = std::string_view(reinterpret_cast<const char*>(take(length)), length);
    return true;
  }

  // Skips one value's own bytes; the number of values inside it still to skip.
  uint64_t skip_one() {
    const uint8_t code = peek();
    position_ += 1;
    if (code <= 0x7f || code >= 0xe0 || code == 0xc0 || code == 0xc2 || code == 0xc3) return 0;
    if (code <= 0x8f) return uint64_t{2} * (code & 0x0f);
    if (code <= 0x9f) return code & 0x0f;
    if (code <= 0xbf) {
      take(code & 0x1f);
      return 0;
    }
    switch (code) {
      case 0xc4:
      case 0xc5:
      case 0xc6:  // bin
        take(number(size_t{1} << (code - 0xc4)));
        return 0;
      case 0xc7:
      case 0xc8:
      case 0xc9:  // ext
        take(number(size_t{1} << (code - 0xc7)) + 1);
        return 0;
      case 0xca:
        take(4);
        return 0;
      case 0xcb:
        take(8);
        return 0;
      case 0xcc:
      case 0xd0:
        take(1);
        return 0;
      case 0xcd:
      case 0xd1:
        take(2);
        return 0;
      case 0xce:
      case 0xd2:
        take(4);
        return 0;
      case 0xcf:
      case 0xd3:
        take(8);
        return 0;
      case 0xd4:
        take(2);
        return 0;
      case 0xd5:
        take(3);
        return 0;
      case 0xd6:
        take(5);
        return 0;
      case 0xd7:
        take(9);
        return 0;
      case 0xd8:
        take(17);
        return 0;
      case 0xd9:
      case 0xda:
      case 0xdb:
        take(number(size_t{1} << (code - 0xd9)));
        return 0;
      case 0xdc:
        return number(2);
      case 0xdd:
        return number(4);
      case 0xde:
        return uint64_t{2} * number(2);
      case 0xdf:
        return uint64_t{2} * number(4);
      default:
        damaged();
    }
  }

  // Passes over the next value whole, whatever lies inside it.
  void skip();

 private:
  size_t header(uint8_t fix, uint8_t wide) {
    const uint8_t code = peek();
    if ((code & 0xf0) == fix) {
      position_ += 1;
      return code & 0x0f;
    }
    if (code == wide || code == wide + 1) {
      position_ += 1;
      return number(code == wide ? 2 : 4);
    }
    return kNone;
  }

  const uint8_t* take(size_t length) {
    if (length > size_ - position_) damaged();
    const uint8_t* start = data_ + position_;
    position_ += length;
    return start;
  }

  size_t number(size_t width) {
    const uint8_t* bytes = take(width);
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value = (value << 8) | bytes[i];
    return static_cast<size_t>(value);
  }

  const uint8_t* data_;
  size_t size_;
  size_t position_;
};

// Any value is passed over, nested as deep as it may be.
struct AnyValue {
  static constexpr int kMaxDepth = 0;  // no limit
  static constexpr bool kWatching = false;
};

// Passes over the next value whole; false, with the reader left where it was, when `watch` refuses
// a value inside it or it is nested deeper than `Watch::kMaxDepth` containers. With
// `Watch::kWatching`, `watch.accepts(reader, key)` sees each value before it is passed over (the
// reader at its first byte, and whether it is a map's key); otherwise only the depth is kept, the
// cheapest pass for most of a document. With no limit (kMaxDepth 0) nothing is watched and only a
// count of the values still to pass is kept, so a value of any depth is passed in constant memory.
// Iterative; the count of the innermost container stays in a register and the reader is a local
// copy, so that no store to memory lies between two values.
template <class Watch>
bool pass(Reader& shared, const Watch& watch) {
  Reader reader = shared;
  uint64_t remaining = 1;  // values still to pass (with a limit: in the innermost open container)
  if constexpr (Watch::kMaxDepth == 0) {
    while (remaining > 0) remaining = remaining - 1 + reader.skip_one();
  } else {
    uint64_t outer_counts[Watch::kMaxDepth];
    bool outer_maps[Watch::kMaxDepth];
    bool in_map = false;
    int depth = 0;
    for (;;) {
      while (remaining == 0) {
        if (depth == 0) {
          shared = reader;
          return true;
        }
        depth -= 1;
        remaining = outer_counts[depth];
        in_map = outer_maps[depth];
      }
      bool map = false;
      if constexpr (Watch::kWatching) {
        if (!watch.accepts(reader, in_map && remaining % 2 == 0)) return false;
        map = is_map(reader.peek());
      }
      remaining -= 1;
      const uint64_t inner = reader.skip_one();
      if (inner > 0) {
        if (depth == Watch::kMaxDepth) return false;
        outer_counts[depth] = remaining;
        outer_maps[depth] = in_map;
        depth += 1;
        remaining = inner;
        in_map = map;
      }
    }
  }
  shared = reader;
  return true;
}

inline void Reader::skip() { pass(*this, AnyValue{}); }

// The value at `at` when it is nil, a bool, an integer or a float; null for any other kind. The
// value must have been read whole before (its bytes are not checked).
py::Ref scalar_value(const uint8_t* at);

}  // namespace vexo::msgpack
