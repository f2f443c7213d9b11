// A path fragment prepared once for exact, case-sensitive byte-substring search.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vexo::filters {

class PathFinder {
 public:
  explicit PathFinder(std::string fragment);
  // Whether the fragment occurs anywhere in `haystack`; an empty fragment occurs everywhere.
  bool find_in(std::string_view haystack) const noexcept;
  const std::string& fragment() const noexcept { return fragment_; }

 private:
  std::string fragment_;
  // The position in the fragment of the byte least likely to occur in a file path: the search
  // jumps between its occurrences in the haystack and compares the whole fragment only there.
  std::size_t anchor_ = 0;
};

std::vector<PathFinder> build_finders(std::vector<std::string> fragments);
bool any_finds(const std::vector<PathFinder>& finders, std::string_view haystack) noexcept;

}  // namespace vexo::filters
