#include "speedups/output.hpp"

#include <algorithm>
#include <cstring>

namespace vexo::speedups {

void Output::grow(std::size_t count) {
  std::size_t wanted = std::max(capacity_ * 2, size_ + count);
  if (data_ == inline_) {
    heap_.resize(wanted);
    std::memcpy(heap_.data(), inline_, size_);
  } else {
    heap_.resize(wanted);
  }
  data_ = heap_.data();
  capacity_ = wanted;
}

void Output::replace_tail(std::size_t at, std::span<const std::uint8_t> replacement) {
  truncate(at);
  std::uint8_t* to = room(replacement.size());
  if (!replacement.empty()) std::memcpy(to, replacement.data(), replacement.size());
  advance_to(to + replacement.size());
}

namespace write {

void str(Output& out, std::string_view utf8) {
  std::uint8_t* at = out.room(msgpack::put::kMaxHeader + utf8.size());
  out.advance_to(msgpack::put::str(at, utf8));
}

void ext(Output& out, std::int8_t type, std::span<const std::uint8_t> data) {
  std::uint8_t* at = out.room(msgpack::put::kMaxHeader + 1 + data.size());
  std::size_t size = data.size();
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
        at = msgpack::put::tagged(at, 0xc7, size, 1);
      } else if (size <= 0xffff) {
        at = msgpack::put::tagged(at, 0xc8, size, 2);
      } else {
        at = msgpack::put::tagged(at, 0xc9, size, 4);
      }
  }
  *at++ = static_cast<std::uint8_t>(type);
  out.advance_to(msgpack::put::bytes(at, data));
}

void bin(Output& out, std::span<const std::uint8_t> data) {
  std::uint8_t* at = out.room(msgpack::put::kMaxHeader + data.size());
  std::size_t size = data.size();
  if (size <= 0xff) {
    at = msgpack::put::tagged(at, 0xc4, size, 1);
  } else if (size <= 0xffff) {
    at = msgpack::put::tagged(at, 0xc5, size, 2);
  } else {
    at = msgpack::put::tagged(at, 0xc6, size, 4);
  }
  out.advance_to(msgpack::put::bytes(at, data));
}

void recount(Output& out, std::size_t at, std::size_t written, std::size_t count, bool map) {
  std::size_t old_header = written < 16 ? 1 : written <= 0xffff ? 3 : 5;
  std::span<const std::uint8_t> body = out.bytes(at + old_header, out.size());
  std::vector<std::uint8_t> rebuilt(msgpack::put::kMaxHeader + body.size());
  std::uint8_t* end = map ? msgpack::put::map_header(rebuilt.data(), count)
                          : msgpack::put::array_header(rebuilt.data(), count);
  end = msgpack::put::bytes(end, body);
  rebuilt.resize(static_cast<std::size_t>(end - rebuilt.data()));
  out.replace_tail(at, rebuilt);
}

}  // namespace write

}  // namespace vexo::speedups
