// The bytes of one dump, written front to back. The usual dump (a small dict of plain values) fits
// in the object's own storage, so it costs no allocation until the final bytes object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "utils/msgpack_put.hpp"

namespace vexo::speedups {

class Output {
 public:
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Where the next `count` bytes go; `advance_to` then marks how far they were written.
  std::uint8_t* room(std::size_t count) {
    if (capacity_ - size_ < count) grow(count);
    return data_ + size_;
  }
  void advance_to(const std::uint8_t* end) noexcept {
    size_ = static_cast<std::size_t>(end - data_);
  }

  std::size_t size() const noexcept { return size_; }
  std::span<const std::uint8_t> bytes(std::size_t from, std::size_t to) const noexcept {
    return {data_ + from, to - from};
  }
  void truncate(std::size_t size) noexcept { size_ = size; }
  // Puts `replacement` where [at, size()) was.
  void replace_tail(std::size_t at, std::span<const std::uint8_t> replacement);

 private:
  void grow(std::size_t count);

  static constexpr std::size_t kInline = 1024;
  std::uint8_t inline_[kInline];
  std::vector<std::uint8_t> heap_;
  std::uint8_t* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
};

// The MessagePack forms msgpack.packb chooses by default (bin family for bytes, str8 allowed,
// float64), each the shortest that holds the value.
namespace write {

inline void nil(Output& out) { out.advance_to(msgpack::put::nil(out.room(1))); }
inline void boolean(Output& out, bool value) {
  out.advance_to(msgpack::put::boolean(out.room(1), value));
}
inline void integer(Output& out, std::int64_t value) {
  out.advance_to(msgpack::put::integer(out.room(msgpack::put::kMaxHeader), value));
}
inline void uint(Output& out, std::uint64_t value) {
  out.advance_to(msgpack::put::uint(out.room(msgpack::put::kMaxHeader), value));
}
inline void f64(Output& out, double value) {
  out.advance_to(msgpack::put::f64(out.room(msgpack::put::kMaxHeader), value));
}
inline void map_header(Output& out, std::size_t entries) {
  out.advance_to(msgpack::put::map_header(out.room(msgpack::put::kMaxHeader), entries));
}
inline void array_header(Output& out, std::size_t items) {
  out.advance_to(msgpack::put::array_header(out.room(msgpack::put::kMaxHeader), items));
}
// A str value from its UTF-8 bytes.
void str(Output& out, std::string_view utf8);
// A bin value (bytes have no fixed-size form).
void bin(Output& out, std::span<const std::uint8_t> data);

// An ext value of that type holding `data`, in the shortest form, as msgpack.packb writes one.
void ext(Output& out, std::int8_t type, std::span<const std::uint8_t> data);
// Bytes that already hold whole values.
inline void raw(Output& out, std::span<const std::uint8_t> data) {
  out.advance_to(msgpack::put::bytes(out.room(data.size()), data));
}

// Whether a str or bin of `size` bytes can be written at all: MessagePack lengths stop at 32 bits.
inline bool fits(std::size_t size) { return size <= 0xffffffffu; }

// Gives the map or array written from `at` on a header for `count` instead of `written`, for a
// container that turned out to hold another number of items than was announced.
void recount(Output& out, std::size_t at, std::size_t written, std::size_t count, bool map);

}  // namespace write

}  // namespace vexo::speedups
