#include "mornik/text/StringUtils.hpp"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <exception>
#include <string>

#include <pwd.h>
#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/regex.h>
#include <unicode/ucasemap.h>
#include <unistd.h>

#include "mornik/base/Fatal.hpp"
#include "mornik/text/detail/Graphemes.hpp"
#include "mornik/text/detail/RegexEngine.hpp"

namespace mornik {

namespace {

using detail::graphemeOffset;
using detail::graphemeRange;
using detail::isGraphemeBoundary;

constexpr auto npos = std::string_view::npos;

using detail::addSaturating;

// The longest text that force and operator* try to build: beyond any memory,
// and short of the sizes that make allocators give up with an abort instead
// of an exception.
constexpr std::size_t kMaxBuiltText = std::size_t{1} << 40;

std::size_t nonNegative(std::ptrdiff_t n) { return n < 0 ? 0 : static_cast<std::size_t>(n); }

std::string_view slice(std::string_view s, std::pair<std::size_t, std::size_t> bytes) {
  return s.substr(bytes.first, bytes.second - bytes.first);
}

// ---- Search ----

std::uint32_t regexFlags(CompareOptions options) {
  return has(options, CompareOptions::caseInsensitive) ? UREGEX_CASE_INSENSITIVE : 0;
}

// Where a regular-expression search records why it found nothing: the
// pattern does not compile, or a limit stopped the matcher.
using SearchFailure = std::optional<Error>;

// This thread's matcher for a pattern, or null with `failure` set.
icu::RegexMatcher* matcherFor(std::string_view pattern, CompareOptions options,
                              SearchFailure* failure) {
  std::string error;
  icu::RegexMatcher* matcher = detail::cachedMatcher(pattern, regexFlags(options), &error);
  if (matcher == nullptr && failure != nullptr) *failure = detail::invalidRegex(pattern, error);
  return matcher;
}

void noteLimit(const detail::MatcherOnText& match, std::string_view pattern,
               SearchFailure* failure) {
  if (match.failed() && failure != nullptr) {
    *failure = detail::regexOverLimit(pattern, match.status());
  }
}

std::optional<StringRange> findRegex(std::string_view s, std::string_view pattern, std::size_t from,
                                     CompareOptions options, SearchFailure* failure) {
  icu::RegexMatcher* matcher = matcherFor(pattern, options, failure);
  if (matcher == nullptr) return std::nullopt;
  detail::MatcherOnText match(*matcher, s);
  const bool anchored = has(options, CompareOptions::anchored);
  std::optional<StringRange> last;
  if (from > 0) {
    UErrorCode status = U_ZERO_ERROR;
    matcher->region(static_cast<std::int64_t>(from), static_cast<std::int64_t>(s.size()), status);
    matcher->useTransparentBounds(true);
    matcher->useAnchoringBounds(false);
  }
  while (match.find()) {
    const StringRange found{match.start(), match.end()};
    if (!has(options, CompareOptions::backwards)) {
      if (anchored && found.begin != from) return std::nullopt;
      return found;
    }
    last = found;
  }
  noteLimit(match, pattern, failure);
  if (match.failed()) return std::nullopt;
  if (last && anchored && last->end != s.size()) return std::nullopt;
  return last;
}

// Case-insensitive literal search: ICU's literal, case-folding matcher,
// keeping only matches on character boundaries unless `literal`.
std::optional<StringRange> findCaseInsensitive(std::string_view s, std::string_view text,
                                               std::size_t from, CompareOptions options) {
  icu::RegexMatcher* matcher =
      detail::cachedMatcher(text, UREGEX_LITERAL | UREGEX_CASE_INSENSITIVE);
  if (matcher == nullptr) return std::nullopt;
  detail::MatcherOnText match(*matcher, s);
  const bool literal = has(options, CompareOptions::literal);
  std::optional<StringRange> last;
  std::size_t at = from;
  while (at <= s.size() && match.find(at)) {
    const StringRange found{match.start(), match.end()};
    at = found.begin + 1;
    if (!literal && !(isGraphemeBoundary(s, found.begin) && isGraphemeBoundary(s, found.end))) {
      continue;
    }
    if (!has(options, CompareOptions::backwards)) {
      if (has(options, CompareOptions::anchored) && found.begin != from) return std::nullopt;
      return found;
    }
    last = found;
  }
  if (last && has(options, CompareOptions::anchored) && last->end != s.size()) return std::nullopt;
  return last;
}

bool acceptable(std::string_view s, std::size_t begin, std::size_t end, bool literal) {
  return literal || (isGraphemeBoundary(s, begin) && isGraphemeBoundary(s, end));
}

// The first (or, with `backwards`, last) occurrence at or after byte `from`;
// `failure` says why a regular-expression search found nothing, when it
// failed.
std::optional<StringRange> findFrom(std::string_view s, std::string_view text, std::size_t from,
                                    CompareOptions options, SearchFailure* failure = nullptr) {
  if (text.empty() || from > s.size()) return std::nullopt;
  if (has(options, CompareOptions::regularExpression)) {
    return findRegex(s, text, from, options, failure);
  }
  if (has(options, CompareOptions::caseInsensitive)) {
    return findCaseInsensitive(s, text, from, options);
  }
  const bool literal = has(options, CompareOptions::literal);
  const bool anchored = has(options, CompareOptions::anchored);
  if (has(options, CompareOptions::backwards)) {
    if (text.size() > s.size() - from) return std::nullopt;
    if (anchored) {
      const std::size_t begin = s.size() - text.size();
      if (s.substr(begin) == text && acceptable(s, begin, s.size(), literal)) {
        return StringRange{begin, s.size()};
      }
      return std::nullopt;
    }
    for (std::size_t at = s.rfind(text); at != npos && at >= from;
         at = at == 0 ? npos : s.rfind(text, at - 1)) {
      if (acceptable(s, at, at + text.size(), literal)) return StringRange{at, at + text.size()};
    }
    return std::nullopt;
  }
  if (anchored) {
    if (s.substr(from, text.size()) == text && acceptable(s, from, from + text.size(), literal)) {
      return StringRange{from, from + text.size()};
    }
    return std::nullopt;
  }
  for (std::size_t at = s.find(text, from); at != npos; at = s.find(text, at + 1)) {
    if (acceptable(s, at, at + text.size(), literal)) return StringRange{at, at + text.size()};
  }
  return std::nullopt;
}

// ---- Case mapping ----

std::string caseMapped(std::string_view s, bool upper) {
  std::string out;
  out.reserve(s.size());
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode status = U_ZERO_ERROR;
  const icu::StringPiece piece(s.data(), static_cast<std::int32_t>(s.size()));
  if (upper) {
    icu::CaseMap::utf8ToUpper("", 0, piece, sink, nullptr, status);
  } else {
    icu::CaseMap::utf8ToLower("", 0, piece, sink, nullptr, status);
  }
  return U_SUCCESS(status) ? out : std::string(s);
}

std::string caseFolded(std::string_view s) {
  std::string out;
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode status = U_ZERO_ERROR;
  icu::CaseMap::utf8Fold(0, icu::StringPiece(s.data(), static_cast<std::int32_t>(s.size())), sink,
                         nullptr, status);
  return U_SUCCESS(status) ? out : std::string(s);
}

bool isAsciiDigit(std::int32_t c) { return c >= '0' && c <= '9'; }

// The digit run starting at i (moved past it), without leading zeros.
std::string_view digitRun(std::string_view s, std::size_t& i) {
  const std::size_t start = i;
  while (i < s.size() && isAsciiDigit(s[i])) ++i;
  std::string_view run = s.substr(start, i - start);
  while (run.size() > 1 && run.front() == '0') run.remove_prefix(1);
  return run;
}

int sign(int value) { return (value > 0) - (value < 0); }

int compareScalars(std::string_view a, std::string_view b, bool numeric) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (numeric && isAsciiDigit(a[i]) && isAsciiDigit(b[j])) {
      const std::string_view x = digitRun(a, i);
      const std::string_view y = digitRun(b, j);
      if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
      if (const int order = x.compare(y); order != 0) return sign(order);
      continue;
    }
    const std::int32_t x = detail::nextScalar(a, i);
    const std::int32_t y = detail::nextScalar(b, j);
    if (x != y) return x < y ? -1 : 1;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

int compareVersions(std::string_view a, std::string_view b) {
  std::vector<std::string> x = components(a, ".");
  std::vector<std::string> y = components(b, ".");
  while (x.size() < y.size()) x.emplace_back("0");
  while (y.size() < x.size()) y.emplace_back("0");
  auto joined = [](const std::vector<std::string>& parts) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (i > 0) out.push_back('.');
      out += parts[i];
    }
    return out;
  };
  return compare(joined(x), joined(y), CompareOptions::numeric);
}

std::vector<std::string_view> nonEmptyPathComponents(std::string_view s) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (start <= s.size()) {
    std::size_t slash = s.find('/', start);
    if (slash == npos) slash = s.size();
    if (slash > start) out.push_back(s.substr(start, slash - start));
    start = slash + 1;
  }
  return out;
}

}  // namespace

namespace detail {

std::size_t firstCharacterLength(std::string_view s) {
  if (s.empty()) return 0;
  GraphemeWalker walker(s);
  return walker.advance();
}

std::size_t lastCharacterLength(std::string_view s) {
  return s.size() - graphemeStartBefore(s, s.size());
}

}  // namespace detail

// ---- Characters ----

std::size_t count(std::string_view s) { return detail::graphemeCount(s); }

std::vector<std::string> asCharArr(std::string_view s) {
  std::vector<std::string> out;
  detail::forEachGrapheme(s, [&](std::string_view c) { out.emplace_back(c); });
  return out;
}

// ---- Indexing and slicing ----

std::string at(std::string_view s, std::ptrdiff_t i) {
  return at(s, IndexRange{i, addSaturating<std::ptrdiff_t>(i, 1)});
}

std::string at(std::string_view s, IndexRange range) {
  const std::size_t lower = nonNegative(range.lower);
  const std::size_t upper = nonNegative(range.upper);
  if (lower >= upper) return {};
  return std::string(slice(s, graphemeRange(s, lower, upper)));
}

std::optional<std::string> at(std::string_view s, Utf16Range range) {
  if (range.location < 0 || range.length < 0) return std::nullopt;
  const auto begin = detail::byteOffsetOfUtf16(s, static_cast<std::size_t>(range.location));
  const auto end = detail::byteOffsetOfUtf16(
      s, static_cast<std::size_t>(addSaturating(range.location, range.length)));
  if (!begin || !end) return std::nullopt;
  return std::string(s.substr(*begin, *end - *begin));
}

void setAt(std::string& s, std::ptrdiff_t i, std::string_view replacement) {
  assert(i >= 0 && static_cast<std::size_t>(i) < count(s) && "setAt: position out of range");
  if (i < 0) return;
  const auto [begin, end] = graphemeRange(s, static_cast<std::size_t>(i), nonNegative(i) + 1);
  if (begin == end) return;
  s.replace(begin, end - begin, replacement);
}

void setAt(std::string& s, IndexRange range, std::string_view replacement) {
  const std::size_t lower = nonNegative(range.lower);
  const std::size_t upper = std::max(lower, nonNegative(range.upper));
  const auto [begin, end] = graphemeRange(s, lower, upper);
  s.replace(begin, end - begin, replacement);
}

std::string_view safe(std::string_view s, IndexRange range) {
  if (range.upper < 0) return s.substr(0, 0);
  const std::size_t lower = nonNegative(range.lower);
  const std::size_t upper = std::max(lower, nonNegative(range.upper));
  return slice(s, graphemeRange(s, lower, upper));
}

std::string_view safe(std::string_view s, ClosedIndexRange range) {
  return safe(s, IndexRange{range.lower, addSaturating<std::ptrdiff_t>(range.upper, 1)});
}

std::string_view unsafe(std::string_view s, IndexRange range) {
  assert(range.lower >= 0 && range.lower <= range.upper &&
         static_cast<std::size_t>(range.upper) <= count(s) && "unsafe: range out of bounds");
  return safe(s, range);
}

std::string_view unsafe(std::string_view s, ClosedIndexRange range) {
  return unsafe(s, IndexRange{range.lower, addSaturating<std::ptrdiff_t>(range.upper, 1)});
}

std::optional<std::string> charAt(std::string_view s, std::ptrdiff_t i) {
  assert(i >= 0 && "charAt: negative position");
  if (i < 0) return std::nullopt;
  const auto bytes = graphemeRange(s, static_cast<std::size_t>(i), nonNegative(i) + 1);
  if (bytes.first == bytes.second) return std::nullopt;
  return std::string(slice(s, bytes));
}

std::string substringFrom(std::string_view s, std::ptrdiff_t i) {
  return std::string(s.substr(graphemeOffset(s, nonNegative(i))));
}

std::string substringTo(std::string_view s, std::ptrdiff_t n) {
  return std::string(s.substr(0, graphemeOffset(s, nonNegative(n))));
}

std::string first(std::string_view s, std::ptrdiff_t n) { return substringTo(s, n); }

std::optional<std::string_view> getSubstring(std::string_view s, std::ptrdiff_t location,
                                             std::ptrdiff_t length) {
  if (location < 0 && length < 0) return std::nullopt;
  const std::size_t lower = nonNegative(location);
  const std::size_t begin = graphemeOffset(s, lower);
  if (begin >= s.size()) return std::nullopt;
  const std::size_t upper = length < 0 ? lower : nonNegative(addSaturating(location, length));
  return slice(s, graphemeRange(s, lower, std::max(lower, upper)));
}

std::optional<std::string_view> getSubstring(std::string_view s, Utf16Range range) {
  if (range.location < 0 && range.length < 0) return std::nullopt;
  const std::size_t units = detail::utf16Length(s);
  const std::size_t lower = nonNegative(range.location);
  if (lower >= units) return std::nullopt;
  const std::size_t upper = std::clamp<std::size_t>(
      range.length < 0 ? lower : nonNegative(addSaturating(range.location, range.length)), lower,
      units);
  // An offset inside a surrogate pair moves back to the pair's start.
  auto floorOffset = [&](std::size_t u) {
    for (std::size_t v = u;; --v) {
      if (auto byte = detail::byteOffsetOfUtf16(s, v)) return *byte;
    }
  };
  const std::size_t begin = floorOffset(lower);
  return s.substr(begin, floorOffset(upper) - begin);
}

std::string dropFirstCustom(std::string_view s, std::ptrdiff_t n) {
  const std::size_t k = nonNegative(n);
  const std::size_t begin = graphemeOffset(s, k);
  // graphemeOffset gives size() both for exactly k characters and for fewer.
  if (begin == s.size() && k > 0 && count(s) < k) return "\n";
  return std::string(s.substr(begin));
}

// ---- Searching and comparison ----

std::optional<std::ptrdiff_t> indexInt(std::string_view s, std::string_view text) {
  const auto found = findFrom(s, text, 0, CompareOptions::none);
  if (!found) return std::nullopt;
  return static_cast<std::ptrdiff_t>(detail::utf16OffsetOfByte(s, found->begin));
}

std::optional<std::size_t> index(std::string_view s, std::string_view text,
                                 CompareOptions options) {
  const auto found = findFrom(s, text, 0, options);
  if (!found) return std::nullopt;
  return found->begin;
}

std::optional<std::size_t> endIndex(std::string_view s, std::string_view text,
                                    CompareOptions options) {
  const auto found = findFrom(s, text, 0, options);
  if (!found) return std::nullopt;
  return found->end;
}

std::optional<StringRange> range(std::string_view s, std::string_view text,
                                 CompareOptions options) {
  return findFrom(s, text, 0, options);
}

Result<std::optional<StringRange>> rangeR(std::string_view s, std::string_view text,
                                          CompareOptions options) {
  SearchFailure failure;
  auto found = findFrom(s, text, 0, options, &failure);
  if (failure) return *failure;
  return found;
}

namespace {
std::vector<StringRange> allRanges(std::string_view s, std::string_view text,
                                   CompareOptions options, SearchFailure* failure) {
  std::vector<StringRange> out;
  if (text.empty()) return out;
  const auto forward = static_cast<CompareOptions>(
      static_cast<unsigned>(options) & ~static_cast<unsigned>(CompareOptions::backwards));
  if (has(options, CompareOptions::regularExpression) && !has(options, CompareOptions::anchored)) {
    icu::RegexMatcher* matcher = matcherFor(text, options, failure);
    if (matcher == nullptr) return out;
    detail::MatcherOnText match(*matcher, s);
    while (match.find()) out.push_back({match.start(), match.end()});
    noteLimit(match, text, failure);
    if (match.failed()) out.clear();
    return out;
  }
  std::size_t from = 0;
  while (const auto found = findFrom(s, text, from, forward, failure)) {
    out.push_back(*found);
    if (has(options, CompareOptions::anchored)) break;
    from = found->end > found->begin ? found->end : found->end + 1;
  }
  if (failure != nullptr && *failure) out.clear();
  return out;
}
}  // namespace

std::vector<StringRange> ranges(std::string_view s, std::string_view text, CompareOptions options) {
  return allRanges(s, text, options, nullptr);
}

Result<std::vector<StringRange>> rangesR(std::string_view s, std::string_view text,
                                         CompareOptions options) {
  SearchFailure failure;
  auto found = allRanges(s, text, options, &failure);
  if (failure) return *failure;
  return found;
}

std::vector<std::size_t> indices(std::string_view s, std::string_view text,
                                 CompareOptions options) {
  std::vector<std::size_t> out;
  for (const auto& found : ranges(s, text, options)) out.push_back(found.begin);
  return out;
}

bool contains(std::string_view s, std::string_view text, CompareOptions options) {
  return findFrom(s, text, 0, options).has_value();
}

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix && isGraphemeBoundary(s, prefix.size());
}

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix &&
         isGraphemeBoundary(s, s.size() - suffix.size());
}

int compare(std::string_view s, std::string_view other, CompareOptions options) {
  const bool numeric = has(options, CompareOptions::numeric);
  if (has(options, CompareOptions::caseInsensitive)) {
    return compareScalars(caseFolded(s), caseFolded(other), numeric);
  }
  return compareScalars(s, other, numeric);
}

std::string stringBefore(std::string_view s, std::string_view c) {
  const auto found = findFrom(s, c, 0, CompareOptions::none);
  return found ? std::string(s.substr(0, found->begin)) : std::string();
}

std::string stringAfter(std::string_view s, std::string_view c) {
  const auto found = findFrom(s, c, 0, CompareOptions::none);
  return found ? std::string(s.substr(found->end)) : std::string();
}

std::optional<std::string> substringFromToFirst(std::string_view s, std::string_view a,
                                                std::string_view b) {
  const auto from = findFrom(s, a, 0, CompareOptions::none);
  if (!from) return std::string();
  const auto to = findFrom(s, b, from->begin, CompareOptions::none);
  if (!to) return std::nullopt;
  return std::string(s.substr(from->begin, to->begin - from->begin));
}

std::optional<std::string> substringToFirst(std::string_view s, std::string_view b, bool include) {
  const auto to = findFrom(s, b, 0, CompareOptions::none);
  if (!to) return std::nullopt;
  return std::string(s.substr(0, include ? to->end : to->begin));
}

std::optional<std::string> substringBetween(std::string_view s, std::string_view a,
                                            std::string_view b) {
  const auto from = findFrom(s, a, 0, CompareOptions::none);
  if (!from) return std::nullopt;
  const auto to = findFrom(s, b, from->end, CompareOptions::none);
  if (!to) return std::nullopt;
  return std::string(s.substr(from->end, to->begin - from->end));
}

// ---- Replacement and transformation ----

std::string replace(std::string_view s, std::string_view pattern, std::string_view templ) {
  return replacingOccurrences(s, pattern, templ, CompareOptions::regularExpression);
}

std::string replacing(std::string_view s, std::string_view from, std::string_view to) {
  return replacingOccurrences(s, from, to, CompareOptions::literal);
}

namespace {
std::string replaced(std::string_view s, std::string_view target, std::string_view to,
                     CompareOptions options, SearchFailure* failure) {
  if (target.empty()) return std::string(s);
  if (has(options, CompareOptions::regularExpression) && !has(options, CompareOptions::anchored)) {
    icu::RegexMatcher* matcher = matcherFor(target, options, failure);
    if (matcher == nullptr) return std::string(s);
    UErrorCode status = U_ZERO_ERROR;
    auto out = detail::replaceAll(*matcher, s, to, &status);
    if (out) return std::move(*out);
    if (failure != nullptr) *failure = detail::regexOverLimit(target, status);
    return std::string(s);
  }
  std::string out;
  std::size_t copied = 0;
  const auto occurrences = allRanges(s, target, options, failure);
  if (failure != nullptr && *failure) return std::string(s);
  for (const auto& found : occurrences) {
    out.append(s.substr(copied, found.begin - copied));
    out.append(to);
    copied = found.end;
  }
  out.append(s.substr(copied));
  return out;
}
}  // namespace

std::string replacingOccurrences(std::string_view s, std::string_view target, std::string_view to,
                                 CompareOptions options) {
  return replaced(s, target, to, options, nullptr);
}

Result<std::string> replaceR(std::string_view s, std::string_view pattern, std::string_view templ,
                             CompareOptions options) {
  SearchFailure failure;
  std::string out =
      replaced(s, pattern, templ, options | CompareOptions::regularExpression, &failure);
  if (failure) return *failure;
  return out;
}

std::string replacingAllSymbolsIn(std::string_view s, std::string_view set, std::string_view r) {
  const std::vector<std::string> symbols = asCharArr(set);
  std::string out;
  detail::forEachGrapheme(s, [&](std::string_view c) {
    if (std::find(symbols.begin(), symbols.end(), c) != symbols.end()) {
      out.append(r);
    } else {
      out.append(c);
    }
  });
  return out;
}

namespace {
std::string filtered(std::string_view s, const CharacterSet& set, bool keepMembers) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t start = i;
    const std::int32_t c = detail::nextScalar(s, i);
    const bool member = c >= 0 && set.contains(static_cast<char32_t>(c));
    if (member == keepMembers) out.append(s.substr(start, i - start));
  }
  return out;
}
}  // namespace

std::string filterContains(std::string_view s, const CharacterSet& set) {
  return filtered(s, set, true);
}

std::string filterNotContains(std::string_view s, const CharacterSet& set) {
  return filtered(s, set, false);
}

std::string uppercased(std::string_view s) { return caseMapped(s, true); }
std::string lowercased(std::string_view s) { return caseMapped(s, false); }

std::string capitalizingFirstLetter(std::string_view s) {
  const std::size_t head = detail::firstCharacterLength(s);
  return uppercased(s.substr(0, head)) + std::string(s.substr(head));
}

void capitalizeFirstLetter(std::string& s) { s = capitalizingFirstLetter(s); }

std::string capitalizingFirstLetterOnly(std::string_view s) {
  const std::size_t head = detail::firstCharacterLength(s);
  return uppercased(s.substr(0, head)) + lowercased(s.substr(head));
}

void capitalizeFirstLetterOnly(std::string& s) { s = capitalizingFirstLetterOnly(s); }

std::string operator*(std::string_view s, std::ptrdiff_t n) {
  std::string out;
  if (n <= 0 || s.empty() || static_cast<std::size_t>(n) > kMaxBuiltText / s.size()) return out;
  try {
    out.reserve(s.size() * static_cast<std::size_t>(n));
  } catch (const std::exception&) {  // std::bad_alloc, std::length_error
    return {};
  }
  for (std::ptrdiff_t i = 0; i < n; ++i) out.append(s);
  return out;
}

std::string operator*(std::ptrdiff_t n, std::string_view s) { return s * n; }

Result<std::string> forceR(std::string_view s, std::ptrdiff_t n) {
  const std::size_t length = count(s);
  std::string out(s);
  if (n > 0 && length < static_cast<std::size_t>(n)) {
    const std::size_t padding = static_cast<std::size_t>(n) - length;
    const Error cannot = WTF("can't pad string to " + std::to_string(n) + " characters", 0);
    if (padding > kMaxBuiltText - out.size()) return cannot;
    try {
      out.append(padding, ' ');
    } catch (const std::exception&) {  // std::bad_alloc, std::length_error
      return cannot;
    }
  }
  return out;
}

std::string force(std::string_view s, std::ptrdiff_t n) {
  auto padded = forceR(s, n);
  return padded.isSuccess() ? std::move(padded).value() : std::string(s);
}

std::string removePostfix(std::string_view s, std::string_view p) {
  if (p.empty() || !endsWith(s, p)) return std::string(s);
  return std::string(s.substr(0, s.size() - p.size()));
}

std::string trimStart(std::string_view s, std::string_view c) {
  return trimStart(s, std::span<const std::string_view>(&c, 1));
}
std::string trimEnd(std::string_view s, std::string_view c) {
  return trimEnd(s, std::span<const std::string_view>(&c, 1));
}
std::string trim(std::string_view s, std::string_view c) {
  return trim(s, std::span<const std::string_view>(&c, 1));
}

const std::vector<std::string>& whitespaceChars() {
  static const std::vector<std::string> characters =
      allCharacters(CharacterSet::whitespacesAndNewlines());
  return characters;
}

Result<Data> asData(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    if (detail::nextScalar(s, i) < 0) {
      return WTF("can't convert string to data: " + std::string(s), 0);
    }
  }
  return Data(s.begin(), s.end());
}

// ---- Display truncation ----

std::string truncEnd(std::string_view s, std::ptrdiff_t length, std::string_view trailing) {
  const std::size_t n = nonNegative(length);
  const std::size_t end = graphemeOffset(s, n);
  if (end == s.size()) return std::string(s);  // at most n characters
  return std::string(s.substr(0, end)) + std::string(trailing);
}

std::string truncStart(std::string_view s, std::ptrdiff_t length, std::string_view trailing) {
  const std::size_t n = nonNegative(length);
  const std::size_t total = count(s);
  if (total <= n) return std::string(s);
  return std::string(trailing) + std::string(s.substr(graphemeOffset(s, total - n)));
}

std::string truncCenter(std::string_view s, std::ptrdiff_t length, std::string_view trailing) {
  const std::size_t n = nonNegative(length);
  const std::size_t total = count(s);
  if (total <= n) return std::string(s);
  const std::size_t half = n / 2;
  return std::string(s.substr(0, graphemeOffset(s, half))) + std::string(trailing) +
         std::string(s.substr(graphemeOffset(s, total - half)));
}

// ---- Path-like strings ----

std::string skippingLastSlash(std::string_view s) {
  if (!s.empty() && s.back() == '/') s.remove_suffix(1);
  return std::string(s);
}

std::string lastPathComonent(std::string_view s) {
  const auto parts = nonEmptyPathComponents(s);
  return parts.empty() ? std::string() : std::string(parts.back());
}

std::string getExceptLastPathComponent(std::string_view s) {
  const auto parts = nonEmptyPathComponents(s);
  std::string out;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    if (i > 0) out.push_back('/');
    out.append(parts[i]);
  }
  return out;
}

std::optional<std::string_view> deletingLastPathComponent(std::string_view s) {
  const std::size_t slash = s.rfind('/');
  if (slash == npos) return std::nullopt;
  return s.substr(0, slash);
}

std::string removeFileExtension(std::string_view s) {
  for (std::size_t at = s.rfind('.'); at != npos && at > 0; at = s.rfind('.', at - 1)) {
    // A whole "." character: not followed by a mark that joins it.
    if (!isGraphemeBoundary(s, at) || !isGraphemeBoundary(s, at + 1)) continue;
    if (s[at - 1] == '/') continue;
    return std::string(s.substr(0, at));
  }
  return std::string(s);
}

std::string homeDirectory() {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::size_t size = suggested > 0 ? static_cast<std::size_t>(suggested) : 16384;
  for (;;) {
    std::string buffer(size, '\0');
    passwd record{};
    passwd* found = nullptr;
    const int error = getpwuid_r(getuid(), &record, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && size < (1U << 20)) {
      size *= 2;
      continue;
    }
    if (error != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] == '\0') {
      detail::fatal("cannot read the current user's home directory from the user database");
    }
    return found->pw_dir;
  }
}

std::string abbreviatingHomeWithTilde(std::string_view s) {
  return replacing(s, homeDirectory(), "~");
}

std::string pathExpandingHomeWithTilde(std::string_view s) {
  if (s != "~" && !s.starts_with("~/")) return std::string(s);
  return homeDirectory() + std::string(s.substr(1));
}

// ---- Versions ----

bool isVersionEqualTo(std::string_view s, std::string_view version) {
  return compareVersions(s, version) == 0;
}
bool isVersionGreaterThan(std::string_view s, std::string_view version) {
  return compareVersions(s, version) > 0;
}
bool isVersionGreaterThanOrEqualTo(std::string_view s, std::string_view version) {
  return compareVersions(s, version) >= 0;
}
bool isVersionLessThan(std::string_view s, std::string_view version) {
  return compareVersions(s, version) < 0;
}
bool isVersionLessThanOrEqualTo(std::string_view s, std::string_view version) {
  return compareVersions(s, version) <= 0;
}

// ---- Splitting ----

std::vector<std::string> splitByCharsIn(std::string_view s, std::string_view chars) {
  const CharacterSet separators(chars);
  std::vector<std::string> out;
  std::size_t pieceStart = 0;
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t start = i;
    const std::int32_t c = detail::nextScalar(s, i);
    if (c >= 0 && separators.contains(static_cast<char32_t>(c))) {
      out.emplace_back(s.substr(pieceStart, start - pieceStart));
      pieceStart = i;
    }
  }
  out.emplace_back(s.substr(pieceStart));
  return out;
}

std::vector<std::string> components(std::string_view s, std::string_view separator) {
  std::vector<std::string> out;
  std::size_t pieceStart = 0;
  if (!separator.empty()) {
    for (const auto& found : ranges(s, separator)) {
      out.emplace_back(s.substr(pieceStart, found.begin - pieceStart));
      pieceStart = found.end;
    }
  }
  out.emplace_back(s.substr(pieceStart));
  return out;
}

}  // namespace mornik
