#include "utils/msgpack.hpp"

#include "py/error.hpp"
#include "utils/msgpack_put.hpp"

namespace vexo::msgpack {

namespace put {

void too_long() { throw py::Broken("Writing to memory, not I/O"); }

}  // namespace put

namespace {

// Makes room for `most` bytes at the end, lets `write` fill some of them, and keeps what it wrote.
template <class Write>
void append(Bytes& out, std::size_t most, Write&& write) {
  const std::size_t at = out.size();
  out.resize(at + most);
  std::uint8_t* end = write(out.data() + at);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

}  // namespace

void write_nil(Bytes& out) { out.push_back(0xc0); }

void write_bool(Bytes& out, bool value) { out.push_back(value ? 0xc3 : 0xc2); }

void write_str(Bytes& out, std::string_view text) {
  append(out, put::kMaxHeader + text.size(), [&](std::uint8_t* at) { return put::str(at, text); });
}

void write_uint(Bytes& out, std::uint64_t value) {
  append(out, put::kMaxHeader, [&](std::uint8_t* at) { return put::uint(at, value); });
}

void write_int(Bytes& out, std::int64_t value) {
  append(out, put::kMaxHeader, [&](std::uint8_t* at) { return put::integer(at, value); });
}

void write_f64(Bytes& out, double value) {
  append(out, put::kMaxHeader, [&](std::uint8_t* at) { return put::f64(at, value); });
}

void write_map_header(Bytes& out, std::size_t entries) {
  append(out, put::kMaxHeader, [&](std::uint8_t* at) { return put::map_header(at, entries); });
}

void write_array_header(Bytes& out, std::size_t items) {
  append(out, put::kMaxHeader, [&](std::uint8_t* at) { return put::array_header(at, items); });
}

void write_raw(Bytes& out, const Bytes& encoded) {
  out.insert(out.end(), encoded.begin(), encoded.end());
}

void write_str_pair(Bytes& out, std::string_view key, std::optional<std::string_view> value) {
  write_str(out, key);
  if (value) {
    write_str(out, *value);
  } else {
    write_nil(out);
  }
}

void write_raw_pair(Bytes& out, std::string_view key, Bytes& value) {
  write_str(out, key);
  write_raw(out, value);
  value.clear();
}

void write_raw_pair(Bytes& out, std::string_view key, std::span<const std::uint8_t> value) {
  write_str(out, key);
  out.insert(out.end(), value.begin(), value.end());
}

void write_int_pair(Bytes& out, std::string_view key, std::size_t value) {
  write_str(out, key);
  write_uint(out, value);
}

void write_f64_pair(Bytes& out, double value) {
  write_str(out, "timestamp");
  write_f64(out, value);
}

}  // namespace vexo::msgpack
