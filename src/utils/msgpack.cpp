#include "utils/msgpack.hpp"

#include <bit>

#include "py/error.hpp"

namespace vexo::msgpack {

namespace {

constexpr std::uint8_t kNil = 0xc0;
constexpr std::uint8_t kFalse = 0xc2;
constexpr std::uint8_t kTrue = 0xc3;
constexpr std::uint8_t kFloat64 = 0xcb;
constexpr std::uint8_t kUint8 = 0xcc;
constexpr std::uint8_t kUint16 = 0xcd;
constexpr std::uint8_t kUint32 = 0xce;
constexpr std::uint8_t kUint64 = 0xcf;
constexpr std::uint8_t kInt8 = 0xd0;
constexpr std::uint8_t kInt16 = 0xd1;
constexpr std::uint8_t kInt32 = 0xd2;
constexpr std::uint8_t kInt64 = 0xd3;
constexpr std::uint8_t kFixStr = 0xa0;
constexpr std::uint8_t kStr8 = 0xd9;
constexpr std::uint8_t kStr16 = 0xda;
constexpr std::uint8_t kStr32 = 0xdb;
constexpr std::uint8_t kFixArray = 0x90;
constexpr std::uint8_t kArray16 = 0xdc;
constexpr std::uint8_t kArray32 = 0xdd;
constexpr std::uint8_t kFixMap = 0x80;
constexpr std::uint8_t kMap16 = 0xde;
constexpr std::uint8_t kMap32 = 0xdf;

// The tag and the low `width` bytes of `value`, big-endian, appended in one step.
inline void append_tagged(Bytes& out, std::uint8_t tag, std::uint64_t value, int width) {
  std::uint8_t bytes[9];
  bytes[0] = tag;
  for (int i = 0; i < width; ++i) {
    bytes[1 + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
  }
  out.insert(out.end(), bytes, bytes + 1 + width);
}

// Lengths beyond 32 bits have no encoding; they cannot come from anything held in memory here.
[[noreturn]] void too_long() { throw py::Broken("Writing to memory, not I/O"); }

inline void write_str_header(Bytes& out, std::size_t size) {
  if (size < 32) {
    out.push_back(static_cast<std::uint8_t>(kFixStr | size));
  } else if (size <= 0xff) {
    append_tagged(out, kStr8, size, 1);
  } else if (size <= 0xffff) {
    append_tagged(out, kStr16, size, 2);
  } else if (size <= 0xffffffff) {
    append_tagged(out, kStr32, size, 4);
  } else {
    too_long();
  }
}

inline void write_container_header(Bytes& out, std::size_t size, std::uint8_t fix,
                                   std::uint8_t tag16, std::uint8_t tag32) {
  if (size < 16) {
    out.push_back(static_cast<std::uint8_t>(fix | size));
  } else if (size <= 0xffff) {
    append_tagged(out, tag16, size, 2);
  } else if (size <= 0xffffffff) {
    append_tagged(out, tag32, size, 4);
  } else {
    too_long();
  }
}

}  // namespace

void write_nil(Bytes& out) { out.push_back(kNil); }

void write_bool(Bytes& out, bool value) { out.push_back(value ? kTrue : kFalse); }

void write_str(Bytes& out, std::string_view text) {
  write_str_header(out, text.size());
  out.insert(out.end(), text.begin(), text.end());
}

void write_uint(Bytes& out, std::uint64_t value) {
  if (value < 0x80) {
    out.push_back(static_cast<std::uint8_t>(value));
  } else if (value <= 0xff) {
    append_tagged(out, kUint8, value, 1);
  } else if (value <= 0xffff) {
    append_tagged(out, kUint16, value, 2);
  } else if (value <= 0xffffffff) {
    append_tagged(out, kUint32, value, 4);
  } else {
    append_tagged(out, kUint64, value, 8);
  }
}

void write_int(Bytes& out, std::int64_t value) {
  if (value >= 0) {
    write_uint(out, static_cast<std::uint64_t>(value));
    return;
  }
  // Two's complement: the low bytes of the 64-bit pattern are the narrower encodings.
  auto bits = static_cast<std::uint64_t>(value);
  if (value >= -32) {
    out.push_back(static_cast<std::uint8_t>(bits));  // negative fixint, 0xe0..0xff
  } else if (value >= INT8_MIN) {
    append_tagged(out, kInt8, bits, 1);
  } else if (value >= INT16_MIN) {
    append_tagged(out, kInt16, bits, 2);
  } else if (value >= INT32_MIN) {
    append_tagged(out, kInt32, bits, 4);
  } else {
    append_tagged(out, kInt64, bits, 8);
  }
}

void write_f64(Bytes& out, double value) {
  append_tagged(out, kFloat64, std::bit_cast<std::uint64_t>(value), 8);
}

void write_map_header(Bytes& out, std::size_t entries) {
  write_container_header(out, entries, kFixMap, kMap16, kMap32);
}

void write_array_header(Bytes& out, std::size_t items) {
  write_container_header(out, items, kFixArray, kArray16, kArray32);
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
