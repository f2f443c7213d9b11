#include "utils/ulid.hpp"

#include "utils/clock.hpp"
#include "utils/secure_random.hpp"

namespace vexo::ulid {

namespace {

constexpr char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr int kTextLength = 26;

}  // namespace

void encode_into(char* out, std::uint64_t millis, std::uint16_t random_high,
                 std::uint64_t random_low) {
  // The 128-bit value high:low, five bits per character from the last one; the first character
  // gets the three bits left, which makes it one of "0" to "7".
  std::uint64_t high = (millis & ((std::uint64_t{1} << 48) - 1)) << 16 | random_high;
  std::uint64_t low = random_low;
  for (int index = kTextLength - 1; index >= 0; --index) {
    out[index] = kAlphabet[low & 0x1f];
    low = low >> 5 | high << 59;
    high >>= 5;
  }
}

std::string encode(std::uint64_t millis, std::uint16_t random_high, std::uint64_t random_low) {
  std::string text(kTextLength, '0');
  encode_into(text.data(), millis, random_high, random_low);
  return text;
}

std::string new_id(std::string_view prefix) {
  std::string id;
  write_id(prefix, id, clock::now());
  return id;
}

void write_id(std::string_view prefix, std::string& id, clock::WallTime time) {
  std::uint64_t millis = clock::ulid_millis_from(time);
  auto random_high = static_cast<std::uint16_t>(secure_random::next_u64());
  std::uint64_t random_low = secure_random::next_u64();
  id.assign(prefix);
  id.resize(prefix.size() + kTextLength);
  encode_into(id.data() + prefix.size(), millis, random_high, random_low);
}

}  // namespace vexo::ulid
