#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/text/StringUtils.hpp"

MORNIK_EXPORTS_BEGIN

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
// Limits: a backtracking pattern can take exponential time ((a+)+b on a run
// of a's), so every match operation runs under a time limit (a budget of
// match-engine steps that grows with the length of the text: a fraction of a
// second for a short text, far more than a pattern that scans the text once
// needs) and a limit on the memory of its backtracking stack. A match stopped
// by a limit is a failure "regular expression ran over its limit: <pattern>
// (U_REGEX_TIME_OUT)" (or U_REGEX_STACK_OVERFLOW) in the operations that
// return a Result: the ...R forms, extract and extractAll. The operations
// with a plain result answer as if nothing matched: matches() and regex()
// give an empty list, firstMatch() and extractRegExp() nothing, the tests
// false, and replacements the text unchanged; use the ...R form to tell the
// two apart.
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

  // Every match over the whole text, left to right (empty when a limit stops
  // the search).
  std::vector<RegexMatch> matches(std::string_view text) const;
  std::optional<RegexMatch> firstMatch(std::string_view text) const;
  // Whether the whole text matches.
  bool matchesWhole(std::string_view text) const;
  // Every match replaced by the template ($0...$n, ${name}, \ escapes); the
  // text unchanged when a limit stops the search.
  std::string replacingMatches(std::string_view text, std::string_view templ) const;

  // The same, failing when a limit stops the match (see Limits above).
  Result<std::vector<RegexMatch>> matchesR(std::string_view text) const;
  Result<std::optional<RegexMatch>> firstMatchR(std::string_view text) const;
  Result<bool> matchesWholeR(std::string_view text) const;
  Result<std::string> replacingMatchesR(std::string_view text, std::string_view templ) const;

  struct Impl;

 private:
  explicit Regex(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<const Impl> impl_;
};

// The text of every match of the pattern, in order; empty when the pattern
// does not compile or a limit stops the search. regexR fails then instead,
// with the message of Regex::make or of the limit.
std::vector<std::string_view> regex(std::string_view s, std::string_view pattern);
Result<std::vector<std::string_view>> regexR(std::string_view s, std::string_view pattern);
// The whole-match text of every match (empty when the pattern does not
// compile or a limit stops the search; extractAll is the checked form).
std::vector<std::string> arrayOfMatchesFor(std::string_view s, std::string_view regex);
// Whether the first match covers the whole text (false when the pattern does
// not compile or a limit stops the search; isMatchToRegexR fails then).
bool isMatchToRegex(std::string_view s, std::string_view regex);
Result<bool> isMatchToRegexR(std::string_view s, std::string_view regex);
// The text of the first match; nothing when the pattern does not compile,
// nothing matches or a limit stops the search (extract is the checked form).
// (The empty-string answer for a match that cannot be mapped back onto the
// text never arises: matches are byte ranges.)
std::optional<std::string> extractRegExp(std::string_view s, std::string_view pattern);
// The first match; failure "can't find first match for RegExt: <pattern>"
// when nothing matches or the pattern does not compile, and the limit
// failure when a limit stops the search.
Result<std::string> extract(std::string_view s, std::string_view regExp);
// Every match; failure "invalid regular expression: <pattern> (<ICU error
// name>)" when the pattern does not compile, the limit failure when a limit
// stops the search.
Result<std::vector<std::string>> extractAll(std::string_view s, std::string_view regExp);
// Whether the whole text is an e-mail address (false when a limit stops the
// match, which the pattern's bounded repetitions make unlikely) by the pattern
// [A-Z0-9a-z]([A-Z0-9a-z._%+-]{0,30}[A-Z0-9a-z])?@([A-Z0-9a-z]([A-Z0-9a-z-]{0,30}[A-Z0-9a-z])?\.){1,5}[A-Za-z]{2,8}
bool isEmail(std::string_view s);

}  // namespace mornik

MORNIK_EXPORTS_END
