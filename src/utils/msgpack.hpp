// MessagePack writers for what the tracer encodes itself: always the shortest form for strings,
// integers, maps and arrays, float64 for floats, never the bin family.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace vexo::msgpack {

using Bytes = std::vector<std::uint8_t>;

void write_nil(Bytes& out);
void write_bool(Bytes& out, bool value);
void write_str(Bytes& out, std::string_view text);
void write_uint(Bytes& out, std::uint64_t value);
// Shortest signed form for negative values, unsigned forms for the others.
void write_int(Bytes& out, std::int64_t value);
void write_f64(Bytes& out, double value);
void write_map_header(Bytes& out, std::size_t entries);
void write_array_header(Bytes& out, std::size_t items);
void write_raw(Bytes& out, const Bytes& encoded);

// One map entry each; the key is always a string.
void write_str_pair(Bytes& out, std::string_view key, std::optional<std::string_view> value);
// Appends `value` unchanged and leaves it empty.
void write_raw_pair(Bytes& out, std::string_view key, Bytes& value);
// Appends an encoded value that lies elsewhere, unchanged.
void write_raw_pair(Bytes& out, std::string_view key, std::span<const std::uint8_t> value);
void write_int_pair(Bytes& out, std::string_view key, std::size_t value);
// The key is always "timestamp".
void write_f64_pair(Bytes& out, double value);

}  // namespace vexo::msgpack
