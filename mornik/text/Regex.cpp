#include "mornik/text/Regex.hpp"

#include <unicode/regex.h>

#include "mornik/text/detail/RegexEngine.hpp"

namespace mornik {

namespace {

std::uint32_t icuFlags(RegexOptions options) {
  const auto bits = static_cast<unsigned>(options);
  std::uint32_t flags = 0;
  auto map = [&](RegexOptions option, std::uint32_t flag) {
    if ((bits & static_cast<unsigned>(option)) != 0) flags |= flag;
  };
  map(RegexOptions::caseInsensitive, UREGEX_CASE_INSENSITIVE);
  map(RegexOptions::allowCommentsAndWhitespace, UREGEX_COMMENTS);
  map(RegexOptions::ignoreMetacharacters, UREGEX_LITERAL);
  map(RegexOptions::dotMatchesLineSeparators, UREGEX_DOTALL);
  map(RegexOptions::anchorsMatchLines, UREGEX_MULTILINE);
  map(RegexOptions::useUnixLineSeparators, UREGEX_UNIX_LINES);
  map(RegexOptions::useUnicodeWordBoundaries, UREGEX_UWORD);
  return flags;
}

RegexMatch currentMatch(detail::MatcherOnText& match) {
  RegexMatch record;
  record.range = {match.start(), match.end()};
  const std::int32_t groups = match.matcher().groupCount();
  record.groups.reserve(static_cast<std::size_t>(groups) + 1);
  for (std::int32_t g = 0; g <= groups; ++g) {
    const std::size_t from = match.start(g);
    const std::size_t to = match.end(g);
    if (from == std::string_view::npos || to == std::string_view::npos) {
      record.groups.emplace_back();
    } else {
      record.groups.emplace_back(StringRange{from, to});
    }
  }
  return record;
}

// The texts of every match of a pattern text, through the per-thread cache;
// failure when it does not compile or runs over its limit.
template <class Out>
Result<std::vector<Out>> cachedMatchTexts(std::string_view s, std::string_view pattern) {
  std::string error;
  icu::RegexMatcher* matcher = detail::cachedMatcher(pattern, 0, &error);
  if (matcher == nullptr) return detail::invalidRegex(pattern, error);
  detail::MatcherOnText match(*matcher, s);
  std::vector<Out> out;
  while (match.find()) out.emplace_back(s.substr(match.start(), match.end() - match.start()));
  if (match.failed()) return detail::regexOverLimit(pattern, match.status());
  return out;
}

// The first match of a pattern text as a byte range; nothing when there is
// none; failure when it does not compile or runs over its limit.
Result<std::optional<StringRange>> cachedFirstMatch(std::string_view s, std::string_view pattern) {
  std::string error;
  icu::RegexMatcher* matcher = detail::cachedMatcher(pattern, 0, &error);
  if (matcher == nullptr) return detail::invalidRegex(pattern, error);
  detail::MatcherOnText match(*matcher, s);
  if (match.find()) return std::optional<StringRange>(StringRange{match.start(), match.end()});
  if (match.failed()) return detail::regexOverLimit(pattern, match.status());
  return std::optional<StringRange>();
}

}  // namespace

struct Regex::Impl {
  std::string pattern;
  RegexOptions options = RegexOptions::none;
  std::unique_ptr<icu::RegexPattern> compiled;
  std::size_t groupCount = 0;

  std::unique_ptr<icu::RegexMatcher> newMatcher() const {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(status));
    if (U_FAILURE(status)) return nullptr;
    detail::applyStackLimit(*matcher);
    return matcher;
  }
  Error noMatcher() const { return detail::invalidRegex(pattern, "U_MEMORY_ALLOCATION_ERROR"); }
};

Result<Regex> Regex::make(std::string_view pattern, RegexOptions options) {
  auto impl = std::make_shared<Impl>();
  impl->pattern = std::string(pattern);
  impl->options = options;
  UErrorCode status = U_ZERO_ERROR;
  impl->compiled = detail::compilePattern(pattern, icuFlags(options), status);
  if (!impl->compiled) return detail::invalidRegex(pattern, u_errorName(status));
  if (auto matcher = impl->newMatcher()) {
    impl->groupCount = static_cast<std::size_t>(matcher->groupCount());
  }
  return Regex(std::move(impl));
}

const std::string& Regex::pattern() const { return impl_->pattern; }
RegexOptions Regex::options() const { return impl_->options; }

std::size_t Regex::numberOfCaptureGroups() const { return impl_->groupCount; }

Result<std::vector<RegexMatch>> Regex::matchesR(std::string_view text) const {
  auto matcher = impl_->newMatcher();
  if (!matcher) return impl_->noMatcher();
  detail::MatcherOnText match(*matcher, text);
  std::vector<RegexMatch> out;
  while (match.find()) out.push_back(currentMatch(match));
  if (match.failed()) return detail::regexOverLimit(impl_->pattern, match.status());
  return out;
}

Result<std::optional<RegexMatch>> Regex::firstMatchR(std::string_view text) const {
  auto matcher = impl_->newMatcher();
  if (!matcher) return impl_->noMatcher();
  detail::MatcherOnText match(*matcher, text);
  if (match.find()) return std::optional<RegexMatch>(currentMatch(match));
  if (match.failed()) return detail::regexOverLimit(impl_->pattern, match.status());
  return std::optional<RegexMatch>();
}

Result<bool> Regex::matchesWholeR(std::string_view text) const {
  auto matcher = impl_->newMatcher();
  if (!matcher) return impl_->noMatcher();
  detail::MatcherOnText match(*matcher, text);
  const bool whole = match.matchesWhole();
  if (match.failed()) return detail::regexOverLimit(impl_->pattern, match.status());
  return whole;
}

Result<std::string> Regex::replacingMatchesR(std::string_view text, std::string_view templ) const {
  auto matcher = impl_->newMatcher();
  if (!matcher) return impl_->noMatcher();
  UErrorCode status = U_ZERO_ERROR;
  auto replaced = detail::replaceAll(*matcher, text, templ, &status);
  if (!replaced) return detail::regexOverLimit(impl_->pattern, status);
  return std::move(*replaced);
}

std::vector<RegexMatch> Regex::matches(std::string_view text) const {
  return matchesR(text).maybeSuccess().value_or(std::vector<RegexMatch>{});
}

std::optional<RegexMatch> Regex::firstMatch(std::string_view text) const {
  return firstMatchR(text).maybeSuccess().value_or(std::nullopt);
}

bool Regex::matchesWhole(std::string_view text) const {
  return matchesWholeR(text).maybeSuccess().value_or(false);
}

std::string Regex::replacingMatches(std::string_view text, std::string_view templ) const {
  return replacingMatchesR(text, templ).maybeSuccess().value_or(std::string(text));
}

Result<std::vector<std::string_view>> regexR(std::string_view s, std::string_view pattern) {
  return cachedMatchTexts<std::string_view>(s, pattern);
}

std::vector<std::string_view> regex(std::string_view s, std::string_view pattern) {
  return regexR(s, pattern).maybeSuccess().value_or(std::vector<std::string_view>{});
}

std::vector<std::string> arrayOfMatchesFor(std::string_view s, std::string_view regex) {
  return extractAll(s, regex).maybeSuccess().value_or(std::vector<std::string>{});
}

Result<bool> isMatchToRegexR(std::string_view s, std::string_view regex) {
  return cachedFirstMatch(s, regex).map([&](const std::optional<StringRange>& found) {
    return found && found->begin == 0 && found->end == s.size();
  });
}

bool isMatchToRegex(std::string_view s, std::string_view regex) {
  return isMatchToRegexR(s, regex).maybeSuccess().value_or(false);
}

std::optional<std::string> extractRegExp(std::string_view s, std::string_view pattern) {
  return extract(s, pattern).maybeSuccess();
}

Result<std::string> extract(std::string_view s, std::string_view regExp) {
  if (icu::RegexMatcher* matcher = detail::cachedMatcher(regExp, 0)) {
    detail::MatcherOnText match(*matcher, s);
    if (match.find()) return std::string(s.substr(match.start(), match.end() - match.start()));
    if (match.failed()) return detail::regexOverLimit(regExp, match.status());
  }
  return WTF("can't find first match for RegExt: " + std::string(regExp), 0);
}

Result<std::vector<std::string>> extractAll(std::string_view s, std::string_view regExp) {
  return cachedMatchTexts<std::string>(s, regExp);
}

bool isEmail(std::string_view s) {
  static constexpr std::string_view kPattern =
      "[A-Z0-9a-z]([A-Z0-9a-z._%+-]{0,30}[A-Z0-9a-z])?@([A-Z0-9a-z]([A-Z0-9a-z-]{0,30}[A-Z0-9a-z])?"
      "\\.){1,5}[A-Za-z]{2,8}";
  icu::RegexMatcher* matcher = detail::cachedMatcher(kPattern, 0);
  if (matcher == nullptr) return false;
  detail::MatcherOnText match(*matcher, s);
  return match.matchesWhole();
}

}  // namespace mornik
