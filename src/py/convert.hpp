// Conversions of interpreter values, with the tracer's strict rules and exact error texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "py/error.hpp"

namespace vexo::py {

// TypeError "'<type>' object cannot be converted to '<expected>'".
Error downcast_error(PyObject* object, const char* expected) noexcept;
[[noreturn]] void throw_downcast(PyObject* object, const char* expected);

// A real bool, or a numpy bool through its truth; anything else fails naming 'PyBool'.
bool to_bool_strict(PyObject* object);
// An int (or an object with __index__) between 0 and SIZE_MAX.
std::size_t to_word(PyObject* object);
// As `to_word`, for 64 bits; a value that does not fit a word fails with the range text.
std::uint64_t to_u64(PyObject* object);
// An int (or an object with __index__) that fits 32 signed bits.
std::int32_t to_i32(PyObject* object);

// The UTF-8 text of a str (downcast error naming 'PyString' otherwise). The view lives as long as
// the str object.
std::string_view text_view(PyObject* object);
inline std::string to_text(PyObject* object) { return std::string(text_view(object)); }
// A sequence of str; a str itself is refused with "Can't extract `str` to `Vec`".
std::vector<std::string> to_text_list(PyObject* object);
// A sequence of ints 0..255 (bytes, bytearray, list, tuple); a str is refused as above.
std::vector<std::uint8_t> to_byte_vector(PyObject* object);

// A new str from UTF-8 text.
Ref new_text(std::string_view text);

inline constexpr const char* kRangeText = "out of range integral type conversion attempted";
inline constexpr const char* kStrToVecText = "Can't extract `str` to `Vec`";

}  // namespace vexo::py
