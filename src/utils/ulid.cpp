#include "utils/ulid.hpp"

#include "utils/clock.hpp"
#include "utils/secure_random.hpp"

namespace vexo::ulid {

namespace {

constexpr char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr int kTextLength = 26;

// Five bits of the 128-bit value (high:low) whose lowest bit is at `shift`; bits above 127 read
// as zero, which is what makes the first character one of "0" to "7".
inline unsigned group_at(std::uint64_t high, std::uint64_t low, int shift) noexcept {
  std::uint64_t bits;
  if (shift >= 64) {
    bits = high >> (shift - 64);
  } else if (shift + 5 <= 64) {
    bits = low >> shift;
  } else {
    bits = high << (64 - shift) | low >> shift;
  }
  return static_cast<unsigned>(bits & 0x1f);
}

}  // namespace

void encode_into(char* out, std::uint64_t millis, std::uint16_t random_high,
                 std::uint64_t random_low) {
  std::uint64_t high = (millis & ((std::uint64_t{1} << 48) - 1)) << 16 | random_high;
  for (int index = 0; index < kTextLength; ++index) {
    out[index] = kAlphabet[group_at(high, random_low, 125 - 5 * index)];
  }
}

std::string encode(std::uint64_t millis, std::uint16_t random_high, std::uint64_t random_low) {
  std::string text(kTextLength, '0');
  encode_into(text.data(), millis, random_high, random_low);
  return text;
}

std::string new_id(std::string_view prefix) {
  std::string id;
  write_id(prefix, id);
  return id;
}

void write_id(std::string_view prefix, std::string& id) {
  std::uint64_t millis = clock::ulid_millis_from(clock::now());
  auto random_high = static_cast<std::uint16_t>(secure_random::next_u64());
  std::uint64_t random_low = secure_random::next_u64();
  id.assign(prefix);
  id.resize(prefix.size() + kTextLength);
  encode_into(id.data() + prefix.size(), millis, random_high, random_low);
}

}  // namespace vexo::ulid
