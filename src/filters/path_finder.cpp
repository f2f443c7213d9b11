#include "filters/path_finder.hpp"

#include <cstring>
#include <utility>

namespace vexo::filters {

namespace {

// Bytes that file paths are mostly made of, most frequent first. A byte that is not listed
// (capitals, '<', blanks, non-ASCII) is rarer than all of them.
constexpr std::string_view kCommonPathBytes = "/etaoinsrlhpcdmuy._bgfkwv-x0123456789jqz";

std::size_t commonness(unsigned char byte) noexcept {
  std::size_t position = kCommonPathBytes.find(static_cast<char>(byte));
  return position == std::string_view::npos ? 0 : kCommonPathBytes.size() - position;
}

std::size_t rarest_position(std::string_view fragment) noexcept {
  std::size_t best = 0;
  for (std::size_t index = 1; index < fragment.size(); ++index) {
    if (commonness(static_cast<unsigned char>(fragment[index])) <
        commonness(static_cast<unsigned char>(fragment[best]))) {
      best = index;
    }
  }
  return best;
}

}  // namespace

PathFinder::PathFinder(std::string fragment)
    : fragment_(std::move(fragment)), anchor_(rarest_position(fragment_)) {}

bool PathFinder::find_in(std::string_view haystack) const noexcept {
  const std::size_t length = fragment_.size();
  if (length == 0) return true;
  if (length > haystack.size()) return false;
  const char anchor = fragment_[anchor_];
  // Where the anchor byte may stand so that the whole fragment fits.
  const char* next = haystack.data() + anchor_;
  const char* const end = haystack.data() + (haystack.size() - length) + anchor_ + 1;
  while (next < end) {
    const auto* hit =
        static_cast<const char*>(std::memchr(next, anchor, static_cast<std::size_t>(end - next)));
    if (hit == nullptr) return false;
    if (std::memcmp(hit - anchor_, fragment_.data(), length) == 0) return true;
    next = hit + 1;
  }
  return false;
}

std::vector<PathFinder> build_finders(std::vector<std::string> fragments) {
  std::vector<PathFinder> finders;
  finders.reserve(fragments.size());
  for (std::string& fragment : fragments) finders.emplace_back(std::move(fragment));
  return finders;
}

bool any_finds(const std::vector<PathFinder>& finders, std::string_view haystack) noexcept {
  for (const PathFinder& finder : finders) {
    if (finder.find_in(haystack)) return true;
  }
  return false;
}

}  // namespace vexo::filters
