// Regular expressions: a pattern, a replacement template and a text, split at
// the first two NUL bytes. Every operation ends under the time limit; match
// ranges are ordered and inside the text; the compiled and the cached entry
// points agree on the matches and on replacements.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "mornik/text/Regex.hpp"
#include "mornik/text/StringUtils.hpp"

namespace {

// A broken property: say which, then stop as a crash does.
#define CHECK(condition)                                                        \
  if (!(condition)) {                                                           \
    std::fprintf(stderr, "check failed: %s (line %d)\n", #condition, __LINE__); \
    __builtin_trap();                                                           \
  }

bool stoppedByLimit(const mornik::Error& error) {
  return error.localizedDescription().starts_with("regular expression ran over its limit: ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t first = input.find('\0');
  if (first == std::string_view::npos) return 0;
  const std::size_t second = input.find('\0', first + 1);
  if (second == std::string_view::npos) return 0;
  const std::string_view pattern = input.substr(0, first);
  const std::string_view templ = input.substr(first + 1, second - first - 1);
  const std::string text(input.substr(second + 1));

  const auto compiled = mornik::Regex::make(pattern);
  if (compiled.isFailure()) {
    const auto cached = mornik::regexR(text, pattern);
    CHECK(cached.isFailure() && !stoppedByLimit(cached.error()));
    CHECK(mornik::replace(text, pattern, templ) == text);
    return 0;
  }
  const mornik::Regex& re = compiled.value();
  const auto matches = re.matchesR(text);
  // Once a limit stops one entry point the others would only spend their
  // budgets too: check what the stop gives and go.
  if (matches.isFailure()) {
    CHECK(stoppedByLimit(matches.error()));
    return 0;
  }
  const auto cached = mornik::regexR(text, pattern);
  if (cached.isFailure()) {
    CHECK(stoppedByLimit(cached.error()));
    return 0;
  }
  std::size_t previousEnd = 0;
  for (std::size_t i = 0; i < matches.value().size(); ++i) {
    const auto& match = matches.value()[i];
    CHECK(match.range.begin <= match.range.end && match.range.end <= text.size());
    CHECK(i == 0 || match.range.begin >= previousEnd);
    previousEnd = match.range.end;
    CHECK(match.groups.size() == re.numberOfCaptureGroups() + 1);
    for (const auto& group : match.groups) {
      if (group) CHECK(group->begin <= group->end && group->end <= text.size());
    }
    CHECK(i >= cached.value().size() || cached.value()[i] == match.text(text));
  }
  CHECK(cached.value().size() == matches.value().size());

  // The string operations find an empty pattern nowhere.
  if (pattern.empty()) return 0;
  const auto replaced = re.replacingMatchesR(text, templ);
  const auto replacedByPattern = mornik::replaceR(text, pattern, templ);
  if (replaced.isSuccess() && replacedByPattern.isSuccess()) {
    CHECK(replaced.value() == replacedByPattern.value());
    if (matches.value().empty()) CHECK(replaced.value() == text);
  }
  const auto firstMatch = re.firstMatchR(text);
  if (firstMatch.isSuccess()) {
    CHECK(firstMatch.value().has_value() == !matches.value().empty());
    if (firstMatch.value()) CHECK(firstMatch.value()->range == matches.value().front().range);
  }
  const auto ranges = mornik::rangesR(text, pattern, mornik::CompareOptions::regularExpression);
  if (ranges.isSuccess()) CHECK(ranges.value().size() == matches.value().size());
  return 0;
}
