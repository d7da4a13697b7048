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

namespace mornik::detail {

// A matcher reset onto a UTF-8 text for the duration of a scope.
class MatcherOnText {
 public:
  MatcherOnText(icu::RegexMatcher& matcher, std::string_view text);
  ~MatcherOnText();
  MatcherOnText(const MatcherOnText&) = delete;
  MatcherOnText& operator=(const MatcherOnText&) = delete;

  bool find() { return matcher_.find() != 0; }
  std::size_t start(std::int32_t group = 0);  // npos when the group took no part
  std::size_t end(std::int32_t group = 0);
  icu::RegexMatcher& matcher() { return matcher_; }

 private:
  icu::RegexMatcher& matcher_;
  UText utext_ = UTEXT_INITIALIZER;
};

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

// Every match of the matcher's pattern replaced by the template.
std::string replaceAll(icu::RegexMatcher& matcher, std::string_view text, std::string_view templ);

}  // namespace mornik::detail
