#include "mornik/text/detail/RegexEngine.hpp"

#include <algorithm>
#include <climits>
#include <list>
#include <memory>
#include <unordered_map>
#include <utility>

#include <unicode/unistr.h>

#include "mornik/text/detail/Graphemes.hpp"

namespace mornik::detail {

namespace {

constexpr std::size_t kCacheCapacity = 64;

struct CachedPattern {
  std::string key;
  std::unique_ptr<icu::RegexPattern> pattern;
  std::unique_ptr<icu::RegexMatcher> matcher;
  std::string error;  // ICU's error name when the pattern does not compile
};

// Least recently used first; the map points into the list.
struct PatternCache {
  std::list<CachedPattern> entries;
  std::unordered_map<std::string_view, std::list<CachedPattern>::iterator> byKey;
  std::string scratchKey;
};
thread_local PatternCache tCache;

}  // namespace

void applyStackLimit(icu::RegexMatcher& matcher) {
  UErrorCode status = U_ZERO_ERROR;
  matcher.setStackLimit(kRegexStackLimit, status);
}

MatcherOnText::MatcherOnText(icu::RegexMatcher& matcher, std::string_view text)
    : matcher_(matcher),
      timeLimit_(static_cast<std::int32_t>(
          std::min<std::size_t>(kRegexBaseSteps + text.size() / kRegexBytesPerStep, INT32_MAX))) {
  utext_openUTF8(&utext_, text.data(), static_cast<std::int64_t>(text.size()), &status_);
  matcher_.setTimeLimit(timeLimit_, status_);
  matcher_.reset(&utext_);
}

bool MatcherOnText::find(std::size_t from) {
  if (U_FAILURE(status_)) return false;
  return matcher_.find(static_cast<std::int64_t>(from), status_) != 0 && U_SUCCESS(status_);
}

Error invalidRegex(std::string_view pattern, std::string_view icuError) {
  return WTF(
      "invalid regular expression: " + std::string(pattern) + " (" + std::string(icuError) + ")",
      0);
}

Error regexOverLimit(std::string_view pattern, UErrorCode status) {
  return WTF("regular expression ran over its limit: " + std::string(pattern) + " (" +
                 u_errorName(status) + ")",
             0);
}

MatcherOnText::~MatcherOnText() { utext_close(&utext_); }

std::size_t MatcherOnText::start(std::int32_t group) {
  UErrorCode status = U_ZERO_ERROR;
  const std::int64_t at = matcher_.start64(group, status);
  return U_FAILURE(status) || at < 0 ? std::string_view::npos : static_cast<std::size_t>(at);
}

std::size_t MatcherOnText::end(std::int32_t group) {
  UErrorCode status = U_ZERO_ERROR;
  const std::int64_t at = matcher_.end64(group, status);
  return U_FAILURE(status) || at < 0 ? std::string_view::npos : static_cast<std::size_t>(at);
}

namespace {

// ICU builds state that every regex matcher shares on first use, behind
// atomics of its own that ThreadSanitizer does not see; a matcher made on
// another thread then reads it seemingly unordered (a false report in about
// half the runs of the text threads test). Making one matcher behind a C++
// static orders that first use before every other.
void prepareRegexEngine() noexcept {
  [[maybe_unused]] static const bool ready = [] {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    const std::unique_ptr<icu::RegexPattern> pattern(
        icu::RegexPattern::compile(icu::UnicodeString(u"x"), 0, parseError, status));
    const std::unique_ptr<icu::RegexMatcher> matcher(pattern ? pattern->matcher(status) : nullptr);
    return U_SUCCESS(status);
  }();
}

}  // namespace

std::unique_ptr<icu::RegexPattern> compilePattern(std::string_view pattern, std::uint32_t flags,
                                                  UErrorCode& status) {
  prepareRegexEngine();
  UText utext = UTEXT_INITIALIZER;
  utext_openUTF8(&utext, pattern.data(), static_cast<std::int64_t>(pattern.size()), &status);
  UParseError parseError{};
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(&utext, flags, parseError, status));
  utext_close(&utext);
  if (U_FAILURE(status)) compiled.reset();
  return compiled;
}

icu::RegexMatcher* cachedMatcher(std::string_view pattern, std::uint32_t flags,
                                 std::string* error) {
  PatternCache& cache = tCache;
  cache.scratchKey.assign(pattern);
  cache.scratchKey.push_back('\0');
  cache.scratchKey.append(std::to_string(flags));
  auto found = cache.byKey.find(cache.scratchKey);
  if (found != cache.byKey.end()) {
    cache.entries.splice(cache.entries.end(), cache.entries, found->second);
  } else {
    if (cache.entries.size() >= kCacheCapacity) {
      cache.byKey.erase(cache.entries.front().key);
      cache.entries.pop_front();
    }
    CachedPattern entry;
    entry.key = cache.scratchKey;
    UErrorCode status = U_ZERO_ERROR;
    entry.pattern = compilePattern(pattern, flags, status);
    if (entry.pattern) {
      entry.matcher.reset(entry.pattern->matcher(status));
      if (U_FAILURE(status)) entry.matcher.reset();
      if (entry.matcher) applyStackLimit(*entry.matcher);
    }
    if (!entry.matcher) entry.error = u_errorName(status);
    cache.entries.push_back(std::move(entry));
    auto inserted = std::prev(cache.entries.end());
    found = cache.byKey.emplace(std::string_view(inserted->key), inserted).first;
  }
  CachedPattern& entry = *found->second;
  if (!entry.matcher && error != nullptr) *error = entry.error;
  return entry.matcher.get();
}

void appendTemplate(std::string& out, std::string_view text, std::string_view templ,
                    MatcherOnText& match, const icu::RegexPattern& pattern) {
  const std::int32_t groups = match.matcher().groupCount();
  auto appendGroup = [&](std::int32_t group) {
    const std::size_t from = match.start(group);
    const std::size_t to = match.end(group);
    if (from != std::string_view::npos && to != std::string_view::npos) {
      out.append(text.substr(from, to - from));
    }
  };
  auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  for (std::size_t i = 0; i < templ.size();) {
    const char c = templ[i];
    if (c == '\\' && i + 1 < templ.size()) {
      std::size_t next = i + 1;
      nextScalar(templ, next);
      out.append(templ.substr(i + 1, next - i - 1));
      i = next;
    } else if (c == '$' && i + 1 < templ.size() && isDigit(templ[i + 1])) {
      // As many digits as still name an existing group.
      std::int32_t group = templ[i + 1] - '0';
      i += 2;
      if (group > groups) continue;  // no such group: the reference gives nothing
      while (i < templ.size() && isDigit(templ[i]) && group * 10 + (templ[i] - '0') <= groups) {
        group = group * 10 + (templ[i] - '0');
        ++i;
      }
      appendGroup(group);
    } else if (c == '$' && i + 1 < templ.size() && templ[i + 1] == '{') {
      const std::size_t close = templ.find('}', i + 2);
      if (close == std::string_view::npos) {
        out.append(templ.substr(i));
        break;
      }
      const std::string_view name = templ.substr(i + 2, close - i - 2);
      UErrorCode status = U_ZERO_ERROR;
      const std::int32_t group =
          pattern.groupNumberFromName(icu::UnicodeString::fromUTF8(icu::StringPiece(
                                          name.data(), static_cast<std::int32_t>(name.size()))),
                                      status);
      if (U_SUCCESS(status)) appendGroup(group);
      i = close + 1;
    } else {
      out.push_back(c);
      ++i;
    }
  }
}

std::optional<std::string> replaceAll(icu::RegexMatcher& matcher, std::string_view text,
                                      std::string_view templ, UErrorCode* status) {
  MatcherOnText match(matcher, text);
  std::string out;
  std::size_t copied = 0;
  bool matched = false;
  while (match.find()) {
    matched = true;
    const std::size_t from = match.start();
    out.append(text.substr(copied, from - copied));
    appendTemplate(out, text, templ, match, matcher.pattern());
    copied = match.end();
  }
  if (match.failed()) {
    if (status != nullptr) *status = match.status();
    return std::nullopt;
  }
  if (!matched) return std::string(text);
  out.append(text.substr(copied));
  return out;
}

}  // namespace mornik::detail
