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

}  // namespace vexo::speedups
