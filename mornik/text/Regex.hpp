#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Result.hpp"
#include "mornik/text/StringUtils.hpp"

// Regular expressions over UTF-8 text, in ICU's dialect (the syntax of
// icu::RegexPattern: Perl-like, with \p{...} properties, \Q...\E quoting,
// (?i) flags, named groups (?<name>...)).
//
//   auto words = mornik::Regex::make("(\\w+)@(\\w+)");
//   for (const auto& m : words.value().matches(text)) use(m.group(text, 2));
//   mornik::replace("a1b22", "[0-9]+", "#");             // "a#b#"
//   mornik::extract("v=12;", "[0-9]+").value();          // "12"
//
// Positions in match records are byte offsets into the searched text.
//
// Thread safety: a Regex is immutable and may be used from several threads
// at once. The operations that take a pattern text keep compiled patterns in
// a per-thread cache of the 64 most recently used ones.

namespace mornik {

// Pattern options; combine them with |.
enum class RegexOptions : unsigned {
  none = 0,
  caseInsensitive = 1U << 0,
  allowCommentsAndWhitespace = 1U << 1,
  ignoreMetacharacters = 1U << 2,  // the pattern is literal text
  dotMatchesLineSeparators = 1U << 3,
  anchorsMatchLines = 1U << 4,
  useUnixLineSeparators = 1U << 5,
  useUnicodeWordBoundaries = 1U << 6,
};
constexpr RegexOptions operator|(RegexOptions a, RegexOptions b) {
  return static_cast<RegexOptions>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

// One match: the whole range and the range of each capture group.
struct RegexMatch {
  StringRange range;
  // groups[0] is the whole match; nothing for a group that took no part.
  std::vector<std::optional<StringRange>> groups;

  // The matched text within the searched text `in`.
  std::string_view text(std::string_view in) const {
    return in.substr(range.begin, range.end - range.begin);
  }
  std::optional<std::string_view> group(std::string_view in, std::size_t i) const {
    if (i >= groups.size() || !groups[i]) return std::nullopt;
    return in.substr(groups[i]->begin, groups[i]->end - groups[i]->begin);
  }
};

// A compiled regular expression.
class Regex {
 public:
  // Failure "invalid regular expression: <pattern> (<ICU error name>)".
  static Result<Regex> make(std::string_view pattern, RegexOptions options = RegexOptions::none);

  const std::string& pattern() const;
  RegexOptions options() const;
  std::size_t numberOfCaptureGroups() const;

  // Every match over the whole text, left to right.
  std::vector<RegexMatch> matches(std::string_view text) const;
  std::optional<RegexMatch> firstMatch(std::string_view text) const;
  // Whether the whole text matches.
  bool matchesWhole(std::string_view text) const;
  // Every match replaced by the template ($0...$n, ${name}, \ escapes).
  std::string replacingMatches(std::string_view text, std::string_view templ) const;

  struct Impl;

 private:
  explicit Regex(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<const Impl> impl_;
};

// The text of every match of the pattern, in order; empty when the pattern
// does not compile.
std::vector<std::string_view> regex(std::string_view s, std::string_view pattern);
// The whole-match text of every match (empty when the pattern does not compile).
std::vector<std::string> arrayOfMatchesFor(std::string_view s, std::string_view regex);
// Whether the first match covers the whole text (false when the pattern does
// not compile).
bool isMatchToRegex(std::string_view s, std::string_view regex);
// The text of the first match; nothing when the pattern does not compile or
// nothing matches. (The empty-string answer for a match that cannot be
// mapped back onto the text never arises: matches are byte ranges.)
std::optional<std::string> extractRegExp(std::string_view s, std::string_view pattern);
// The first match; failure "can't find first match for RegExt: <pattern>"
// when nothing matches or the pattern does not compile.
Result<std::string> extract(std::string_view s, std::string_view regExp);
// Every match; failure "invalid regular expression: <pattern> (<ICU error
// name>)" when the pattern does not compile.
Result<std::vector<std::string>> extractAll(std::string_view s, std::string_view regExp);
// Whether the whole text is an e-mail address by the pattern
// [A-Z0-9a-z]([A-Z0-9a-z._%+-]{0,30}[A-Z0-9a-z])?@([A-Z0-9a-z]([A-Z0-9a-z-]{0,30}[A-Z0-9a-z])?\.){1,5}[A-Za-z]{2,8}
bool isEmail(std::string_view s);

}  // namespace mornik
