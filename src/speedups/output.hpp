// The bytes of one dump, written front to back. The usual dump (a small dict of plain values) fits
// in the object's own storage, so it costs no allocation until the final bytes object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "utils/msgpack_writer.hpp"

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

// Where msgpack's writers put their bytes in an Output.
inline std::uint8_t* room(Output& out, std::size_t count) { return out.room(count); }
inline void advance_to(Output& out, const std::uint8_t* end) noexcept { out.advance_to(end); }

// The dumps write what msgpack.packb writes by default (bin family for bytes, str8 allowed,
// float64), each the shortest form that holds the value: the writers' forms.
namespace write = msgpack::write;

// Gives the map or array written from `at` on a header for `count` instead of `written`, for a
// container that turned out to hold another number of items than was announced.
void recount(Output& out, std::size_t at, std::size_t written, std::size_t count, bool map);

}  // namespace vexo::speedups
