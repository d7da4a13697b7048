#include "mornik/text/CharacterSet.hpp"

#include <algorithm>

#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include "mornik/text/detail/Graphemes.hpp"

namespace mornik {

namespace {

constexpr char32_t kMaxScalar = 0x10FFFF;

// Sorts and merges overlapping or adjacent ranges.
std::vector<std::pair<char32_t, char32_t>> normalized(
    std::vector<std::pair<char32_t, char32_t>> ranges) {
  std::erase_if(ranges, [](const auto& r) { return r.first > r.second || r.first > kMaxScalar; });
  for (auto& r : ranges) r.second = std::min(r.second, kMaxScalar);
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<char32_t, char32_t>> out;
  for (const auto& r : ranges) {
    if (!out.empty() && r.first <= out.back().second + 1) {
      out.back().second = std::max(out.back().second, r.second);
    } else {
      out.push_back(r);
    }
  }
  return out;
}

CharacterSet fromUnicodeSet(const icu::UnicodeSet& set) {
  std::vector<std::pair<char32_t, char32_t>> ranges;
  ranges.reserve(static_cast<std::size_t>(set.getRangeCount()));
  for (std::int32_t i = 0; i < set.getRangeCount(); ++i) {
    ranges.emplace_back(static_cast<char32_t>(set.getRangeStart(i)),
                        static_cast<char32_t>(set.getRangeEnd(i)));
  }
  return CharacterSet::fromRanges(std::move(ranges));
}

// A predefined set from an ICU pattern the library controls.
CharacterSet predefined(const char* pattern) {
  auto set = CharacterSet::fromPattern(pattern);
  return set.isSuccess() ? std::move(set).value() : CharacterSet();
}

}  // namespace

CharacterSet::CharacterSet(std::string_view characters) {
  std::vector<std::pair<char32_t, char32_t>> ranges;
  for (std::size_t i = 0; i < characters.size();) {
    const std::int32_t c = detail::nextScalar(characters, i);
    if (c >= 0) ranges.emplace_back(static_cast<char32_t>(c), static_cast<char32_t>(c));
  }
  ranges_ = normalized(std::move(ranges));
}

CharacterSet CharacterSet::fromRanges(std::vector<std::pair<char32_t, char32_t>> ranges) {
  CharacterSet set;
  set.ranges_ = normalized(std::move(ranges));
  return set;
}

Result<CharacterSet> CharacterSet::fromPattern(std::string_view pattern) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeSet set(icu::UnicodeString::fromUTF8(icu::StringPiece(
                                pattern.data(), static_cast<std::int32_t>(pattern.size()))),
                            status);
  if (U_FAILURE(status)) {
    return WTF("invalid character set pattern: " + std::string(pattern), 0);
  }
  return fromUnicodeSet(set);
}

const CharacterSet& CharacterSet::whitespaces() {
  static const CharacterSet set = predefined("[[:Zs:][\\u0009]]");
  return set;
}
const CharacterSet& CharacterSet::whitespacesAndNewlines() {
  static const CharacterSet set = predefined("[[:Z:][\\u0009-\\u000D\\u0085]]");
  return set;
}
const CharacterSet& CharacterSet::newlines() {
  static const CharacterSet set = predefined("[\\u000A-\\u000D\\u0085\\u2028\\u2029]");
  return set;
}
const CharacterSet& CharacterSet::letters() {
  static const CharacterSet set = predefined("[[:L:][:M:]]");
  return set;
}
const CharacterSet& CharacterSet::decimalDigits() {
  static const CharacterSet set = predefined("[:Nd:]");
  return set;
}
const CharacterSet& CharacterSet::alphanumerics() {
  static const CharacterSet set = predefined("[[:L:][:M:][:N:]]");
  return set;
}
const CharacterSet& CharacterSet::punctuation() {
  static const CharacterSet set = predefined("[:P:]");
  return set;
}
const CharacterSet& CharacterSet::uppercaseLetters() {
  static const CharacterSet set = predefined("[[:Lu:][:Lt:]]");
  return set;
}
const CharacterSet& CharacterSet::lowercaseLetters() {
  static const CharacterSet set = predefined("[:Ll:]");
  return set;
}

bool CharacterSet::contains(char32_t scalar) const {
  const auto after = std::upper_bound(
      ranges_.begin(), ranges_.end(), scalar,
      [](char32_t value, const std::pair<char32_t, char32_t>& r) { return value < r.first; });
  return after != ranges_.begin() && scalar <= std::prev(after)->second;
}

std::size_t CharacterSet::size() const {
  std::size_t total = 0;
  for (const auto& r : ranges_) total += static_cast<std::size_t>(r.second - r.first) + 1;
  return total;
}

CharacterSet CharacterSet::unionWith(const CharacterSet& other) const {
  auto ranges = ranges_;
  ranges.insert(ranges.end(), other.ranges_.begin(), other.ranges_.end());
  return fromRanges(std::move(ranges));
}

CharacterSet CharacterSet::inverted() const {
  std::vector<std::pair<char32_t, char32_t>> ranges;
  char32_t next = 0;
  for (const auto& r : ranges_) {
    if (r.first > next) ranges.emplace_back(next, r.first - 1);
    next = r.second + 1;
  }
  if (next <= kMaxScalar) ranges.emplace_back(next, kMaxScalar);
  return fromRanges(std::move(ranges));
}

std::vector<std::string> allCharacters(const CharacterSet& set) {
  std::vector<std::string> out;
  for (const auto& [firstScalar, lastScalar] : set.ranges()) {
    for (char32_t c = firstScalar; c <= lastScalar; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      char buffer[U8_MAX_LENGTH];
      std::int32_t length = 0;
      UBool error = false;
      U8_APPEND(buffer, length, U8_MAX_LENGTH, static_cast<UChar32>(c), error);
      if (!error) out.emplace_back(buffer, static_cast<std::size_t>(length));
    }
  }
  return out;
}

}  // namespace mornik
