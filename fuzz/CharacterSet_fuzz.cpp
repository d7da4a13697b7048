// Character sets: from the scalars of a text and from ICU set patterns. A set
// holds each scalar of its text; its ranges are sorted, disjoint and
// non-adjacent; a set and its inverse partition the code space; filtering and
// splitting by a set keep every byte of the text exactly once.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "mornik/text/CharacterSet.hpp"
#include "mornik/text/StringUtils.hpp"

namespace {

// A broken property: say which, then stop as a crash does.
#define CHECK(condition)                                                        \
  if (!(condition)) {                                                           \
    std::fprintf(stderr, "check failed: %s (line %d)\n", #condition, __LINE__); \
    __builtin_trap();                                                           \
  }

void checkRanges(const mornik::CharacterSet& set) {
  const auto& ranges = set.ranges();
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    CHECK(ranges[i].first <= ranges[i].second && ranges[i].second <= 0x10FFFF);
    CHECK(i == 0 || ranges[i].first > ranges[i - 1].second + 1);
  }
  const mornik::CharacterSet inverse = set.inverted();
  CHECK(set.size() + inverse.size() == 0x110000);
  CHECK(set.unionWith(inverse).size() == 0x110000);
  CHECK(inverse.inverted() == set);
  if (set.size() < 4096) {
    std::size_t surrogates = 0;
    for (char32_t c = 0xD800; c <= 0xDFFF; ++c) surrogates += set.contains(c) ? 1 : 0;
    CHECK(mornik::allCharacters(set).size() + surrogates == set.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = std::min(input.find('\0'), input.size());
  const std::string_view chars = input.substr(0, split);
  const std::string text(input.substr(std::min(split + 1, input.size())));

  const mornik::CharacterSet set(chars);
  checkRanges(set);
  const std::string kept = mornik::filterContains(text, set);
  const std::string dropped = mornik::filterNotContains(text, set);
  CHECK(kept.size() + dropped.size() == text.size());
  // Every scalar of `chars` is in the set: none is left by the inverse.
  CHECK(mornik::filterContains(chars, set.inverted()).empty());
  const auto pieces = mornik::splitByCharsIn(text, chars);
  std::size_t total = pieces.size() - 1;  // the separators, one scalar each at least
  for (const auto& piece : pieces) total += piece.size();
  CHECK(total <= text.size());

  if (const auto fromPattern = mornik::CharacterSet::fromPattern(input.substr(0, split));
      fromPattern.isSuccess()) {
    checkRanges(fromPattern.value());
  }
  return 0;
}
