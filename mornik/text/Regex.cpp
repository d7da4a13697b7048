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

Error invalidPattern(std::string_view pattern, const std::string& icuError) {
  return WTF("invalid regular expression: " + std::string(pattern) + " (" + icuError + ")", 0);
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

// The matches' texts of a pattern text through the per-thread cache;
// nothing when it does not compile.
template <class Out>
std::optional<std::vector<Out>> cachedMatchTexts(std::string_view s, std::string_view pattern,
                                                 std::string* error = nullptr) {
  icu::RegexMatcher* matcher = detail::cachedMatcher(pattern, 0, error);
  if (matcher == nullptr) return std::nullopt;
  detail::MatcherOnText match(*matcher, s);
  std::vector<Out> out;
  while (match.find()) out.emplace_back(s.substr(match.start(), match.end() - match.start()));
  return out;
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
    return U_FAILURE(status) ? nullptr : std::move(matcher);
  }
};

Result<Regex> Regex::make(std::string_view pattern, RegexOptions options) {
  auto impl = std::make_shared<Impl>();
  impl->pattern = std::string(pattern);
  impl->options = options;
  UErrorCode status = U_ZERO_ERROR;
  impl->compiled = detail::compilePattern(pattern, icuFlags(options), status);
  if (!impl->compiled) return invalidPattern(pattern, u_errorName(status));
  if (auto matcher = impl->newMatcher()) {
    impl->groupCount = static_cast<std::size_t>(matcher->groupCount());
  }
  return Regex(std::move(impl));
}

const std::string& Regex::pattern() const { return impl_->pattern; }
RegexOptions Regex::options() const { return impl_->options; }

std::size_t Regex::numberOfCaptureGroups() const { return impl_->groupCount; }

std::vector<RegexMatch> Regex::matches(std::string_view text) const {
  std::vector<RegexMatch> out;
  auto matcher = impl_->newMatcher();
  if (!matcher) return out;
  detail::MatcherOnText match(*matcher, text);
  while (match.find()) out.push_back(currentMatch(match));
  return out;
}

std::optional<RegexMatch> Regex::firstMatch(std::string_view text) const {
  auto matcher = impl_->newMatcher();
  if (!matcher) return std::nullopt;
  detail::MatcherOnText match(*matcher, text);
  if (!match.find()) return std::nullopt;
  return currentMatch(match);
}

bool Regex::matchesWhole(std::string_view text) const {
  auto matcher = impl_->newMatcher();
  if (!matcher) return false;
  detail::MatcherOnText match(*matcher, text);
  UErrorCode status = U_ZERO_ERROR;
  return matcher->matches(status) != 0 && U_SUCCESS(status);
}

std::string Regex::replacingMatches(std::string_view text, std::string_view templ) const {
  auto matcher = impl_->newMatcher();
  if (!matcher) return std::string(text);
  return detail::replaceAll(*matcher, text, templ);
}

std::vector<std::string_view> regex(std::string_view s, std::string_view pattern) {
  return cachedMatchTexts<std::string_view>(s, pattern).value_or(std::vector<std::string_view>{});
}

std::vector<std::string> arrayOfMatchesFor(std::string_view s, std::string_view regex) {
  return cachedMatchTexts<std::string>(s, regex).value_or(std::vector<std::string>{});
}

bool isMatchToRegex(std::string_view s, std::string_view regex) {
  icu::RegexMatcher* matcher = detail::cachedMatcher(regex, 0);
  if (matcher == nullptr) return false;
  detail::MatcherOnText match(*matcher, s);
  return match.find() && match.start() == 0 && match.end() == s.size();
}

std::optional<std::string> extractRegExp(std::string_view s, std::string_view pattern) {
  icu::RegexMatcher* matcher = detail::cachedMatcher(pattern, 0);
  if (matcher == nullptr) return std::nullopt;
  detail::MatcherOnText match(*matcher, s);
  if (!match.find()) return std::nullopt;
  return std::string(s.substr(match.start(), match.end() - match.start()));
}

Result<std::string> extract(std::string_view s, std::string_view regExp) {
  if (auto found = extractRegExp(s, regExp)) return std::move(*found);
  return WTF("can't find first match for RegExt: " + std::string(regExp), 0);
}

Result<std::vector<std::string>> extractAll(std::string_view s, std::string_view regExp) {
  std::string error;
  auto found = cachedMatchTexts<std::string>(s, regExp, &error);
  if (!found) return invalidPattern(regExp, error);
  return std::move(*found);
}

bool isEmail(std::string_view s) {
  static constexpr std::string_view kPattern =
      "[A-Z0-9a-z]([A-Z0-9a-z._%+-]{0,30}[A-Z0-9a-z])?@([A-Z0-9a-z]([A-Z0-9a-z-]{0,30}[A-Z0-9a-z])?"
      "\\.){1,5}[A-Za-z]{2,8}";
  icu::RegexMatcher* matcher = detail::cachedMatcher(kPattern, 0);
  if (matcher == nullptr) return false;
  detail::MatcherOnText match(*matcher, s);
  UErrorCode status = U_ZERO_ERROR;
  return matcher->matches(status) != 0 && U_SUCCESS(status);
}

}  // namespace mornik
