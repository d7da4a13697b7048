#pragma once

// The regular-expression machinery shared by Regex and the string operations:
// matching ICU patterns over UTF-8 text without converting it, a per-thread
// cache of compiled patterns, and template expansion. Private to the library.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <unicode/regex.h>
#include <unicode/utext.h>

#include "mornik/base/Error.hpp"

namespace mornik::detail {

// Limits on every matcher the library makes, so that a pattern that
// backtracks exponentially (say (a+)+b on a run of a's) fails instead of
// running for minutes. The time limit is a budget of ICU's match-engine steps
// (about 10,000 engine operations each, a fraction of a millisecond) for one
// operation over a whole text: kRegexBaseSteps plus one step per
// kRegexBytesPerStep bytes of text, about a hundred times what a pattern
// that scans the text once needs. The stack limit bounds the memory of the
// backtracking stack.
inline constexpr std::int32_t kRegexBaseSteps = 500;
inline constexpr std::size_t kRegexBytesPerStep = 100;
inline constexpr std::int32_t kRegexStackLimit = 8 << 20;

// Sets the stack limit; matchers get their time limit from MatcherOnText.
void applyStackLimit(icu::RegexMatcher& matcher);

// A matcher reset onto a UTF-8 text for the duration of a scope, with a time
// limit for that text.
class MatcherOnText {
 public:
  MatcherOnText(icu::RegexMatcher& matcher, std::string_view text);
  ~MatcherOnText();
  MatcherOnText(const MatcherOnText&) = delete;
  MatcherOnText& operator=(const MatcherOnText&) = delete;

  // The next match; false at the end of the text and when a limit stops the
  // search (then failed() is true).
  bool find() { return matcher_.find(status_) != 0 && U_SUCCESS(status_); }
  // The next match at or after a byte offset (the search restarts there,
  // with a fresh time budget).
  bool find(std::size_t from);
  // Whether the whole text (or region) matches.
  bool matchesWhole() { return matcher_.matches(status_) != 0 && U_SUCCESS(status_); }
  std::size_t start(std::int32_t group = 0);  // npos when the group took no part
  std::size_t end(std::int32_t group = 0);
  icu::RegexMatcher& matcher() { return matcher_; }
  // Whether a limit stopped the matcher (U_REGEX_TIME_OUT or
  // U_REGEX_STACK_OVERFLOW), and ICU's name for it.
  bool failed() const { return U_FAILURE(status_); }
  UErrorCode status() const { return status_; }

 private:
  icu::RegexMatcher& matcher_;
  UText utext_ = UTEXT_INITIALIZER;
  std::int32_t timeLimit_;
  UErrorCode status_ = U_ZERO_ERROR;
};

// Failure "invalid regular expression: <pattern> (<ICU error name>)".
Error invalidRegex(std::string_view pattern, std::string_view icuError);
// Failure "regular expression ran over its limit: <pattern> (<ICU error
// name>)", for a match stopped by the time or stack limit.
Error regexOverLimit(std::string_view pattern, UErrorCode status);

// Compiles a pattern (UTF-8) with ICU flags; the error code on failure.
std::unique_ptr<icu::RegexPattern> compilePattern(std::string_view pattern, std::uint32_t flags,
                                                  UErrorCode& status);

// This thread's cached matcher for (pattern, flags), compiled and cached
// first when needed; null when the pattern does not compile (`error` then
// names ICU's error). The matcher stays valid until the next call on this
// thread: use it, then let go of it before calling again.
icu::RegexMatcher* cachedMatcher(std::string_view pattern, std::uint32_t flags,
                                 std::string* error = nullptr);

// Appends the expansion of a replacement template for the current match.
void appendTemplate(std::string& out, std::string_view text, std::string_view templ,
                    MatcherOnText& match, const icu::RegexPattern& pattern);

// Every match of the matcher's pattern replaced by the template; nothing when
// a limit stopped the matcher (`status` then holds ICU's error).
std::optional<std::string> replaceAll(icu::RegexMatcher& matcher, std::string_view text,
                                      std::string_view templ, UErrorCode* status = nullptr);

}  // namespace mornik::detail
