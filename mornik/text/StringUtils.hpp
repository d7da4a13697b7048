#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Describe.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/text/CharacterSet.hpp"
#include "mornik/text/Collections.hpp"

MORNIK_EXPORTS_BEGIN

// Free operations on UTF-8 text (std::string, std::string_view, anything that
// converts to std::string_view): indexing by character position, searching,
// replacement, splitting, trimming, truncation for display, case changes,
// path-like manipulation of plain strings and version comparison.
//
//   std::string s = "Hi 👋🏽!";
//   mornik::count(s);                       // 5: "👋🏽" is one character
//   mornik::at(s, 3);                       // "👋🏽"
//   mornik::at(s, mornik::IndexRange{-3, 2});  // "Hi" (clamped)
//   mornik::indexInt(s, "!");               // 7: UTF-16 code units
//   mornik::isVersionGreaterThan("1.10", "1.9");  // true
//
// Characters. A character is a user-perceived character, an extended grapheme
// cluster as Unicode defines it (ICU's character break iterator): an emoji
// with modifiers or joined by ZWJ, a flag (a pair of regional indicators), a
// letter with combining marks, a Hangul syllable built of jamo and CR LF are
// each one character. Integer positions and lengths count characters, except
// indexInt, which counts UTF-16 code units. Text that is all ASCII is indexed
// without ICU.
//
// Invalid UTF-8 never fails an operation or reads out of bounds: each maximal
// ill-formed subsequence (a stray continuation byte, a truncated sequence, a
// byte that never occurs in UTF-8) reads as one U+FFFD, so it is one
// character, or the base of one when combining marks follow it. Operations
// that return parts of the text return the original bytes; case changes pass
// such bytes through unchanged; asData fails on them.
//
// Searching. Text is compared scalar by scalar, without normalisation. A
// search without the `literal` option only matches where both ends of the
// match are character boundaries (so "e" is not found inside "é" written as
// e + U+0301); with `literal` any scalar position counts. An empty text is
// found nowhere.
//
// Slices (results of type std::string_view) point into the argument: they
// are valid while it is alive and unchanged.
//
// Integer arguments may take any value of their type: derived ends such as
// i + 1 or location + length saturate instead of overflowing, so extreme
// values clamp like any other out-of-range value.
//
// Regular expressions are ICU's (see Regex.hpp); the operations here that take
// a pattern text compile it once per thread and keep it in a small cache.
// They run under Regex.hpp's time and stack limits. A search with the
// `regularExpression` option whose pattern does not compile or that a limit
// stops finds nothing (so the replacements return the text unchanged);
// rangeR, rangesR and replaceR fail instead, with "invalid regular
// expression: <pattern> (<ICU error name>)" or "regular expression ran over
// its limit: <pattern> (<ICU error name>)".
//
// Thread safety: every operation may be called from any thread; the caller
// keeps its arguments unchanged during the call. Caches are per thread.
// Errors: Result failures with the messages documented below; the
// `unsafe` slices and setAt(s, i, ...) check their preconditions with
// assertions in debug builds. The home-directory operations end the process
// when the user database has no home directory for the current user.

namespace mornik {

// Bytes, as in `asData`.
using Data = std::vector<std::uint8_t>;

// A range of byte offsets [begin, end) in a UTF-8 text (a "string index"
// range).
struct StringRange {
  std::size_t begin = 0;
  std::size_t end = 0;
  friend bool operator==(const StringRange&, const StringRange&) = default;
};

// A location and length counted in UTF-16 code units.
struct Utf16Range {
  std::ptrdiff_t location = 0;
  std::ptrdiff_t length = 0;
};

// Text comparison and search options; combine them with |.
enum class CompareOptions : unsigned {
  none = 0,
  caseInsensitive = 1U << 0,    // full Unicode case folding
  literal = 1U << 1,            // matches may start or end inside a character
  backwards = 1U << 2,          // the last occurrence instead of the first
  anchored = 1U << 3,           // only at the start (with backwards: the end)
  numeric = 1U << 4,            // digit runs compare by value (comparison only)
  regularExpression = 1U << 5,  // the searched text is an ICU regular expression
};
constexpr CompareOptions operator|(CompareOptions a, CompareOptions b) {
  return static_cast<CompareOptions>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool has(CompareOptions options, CompareOptions flag) {
  return (static_cast<unsigned>(options) & static_cast<unsigned>(flag)) != 0;
}

namespace detail {
template <class L>
concept TextList = std::ranges::input_range<const L> &&
                   std::is_convertible_v<std::ranges::range_reference_t<const L>, std::string_view>;
}  // namespace detail

// ---- Characters ----

// The number of characters.
std::size_t count(std::string_view s);
// Every character in order.
std::vector<std::string> asCharArr(std::string_view s);

// ---- Indexing and slicing (character positions) ----

// The character at i as a string; the range i..<i+1 is clamped as for
// at(s, IndexRange), so an out-of-range i gives "".
std::string at(std::string_view s, std::ptrdiff_t i);
// Characters lower..<upper with both ends clamped: lower into 0...count,
// upper to count when above it and to 0 when negative; "" when the clamped
// lower end is above the upper end.
std::string at(std::string_view s, IndexRange range);
// The text of a UTF-16 range; nothing when it lies outside the text, has a
// negative part, or either end falls inside a surrogate pair.
std::optional<std::string> at(std::string_view s, Utf16Range range);
// Replaces the character at i (0 <= i < count, a caller error otherwise).
void setAt(std::string& s, std::ptrdiff_t i, std::string_view replacement);
// Replaces characters lower..<upper, clamped as for at(s, IndexRange).
void setAt(std::string& s, IndexRange range, std::string_view replacement);

// The slice with the lower end raised to 0 and the upper end lowered to the
// end; empty when the lower end is at or past the end or the upper end is
// below 0.
std::string_view safe(std::string_view s, IndexRange range);
std::string_view safe(std::string_view s, ClosedIndexRange range);
// The slice without clamping: a range outside 0...count is a caller error.
std::string_view unsafe(std::string_view s, IndexRange range);
std::string_view unsafe(std::string_view s, ClosedIndexRange range);
// The character at i, or nothing when i >= count (i < 0 is a caller error).
std::optional<std::string> charAt(std::string_view s, std::ptrdiff_t i);

// From min(i, count) to the end (a negative i counts as 0).
std::string substringFrom(std::string_view s, std::ptrdiff_t i);
// The first max(n, 0) characters, clamped to the length.
std::string substringTo(std::string_view s, std::ptrdiff_t n);
std::string first(std::string_view s, std::ptrdiff_t n);

// `length` characters from `location`; the rest of the text from `location`
// when that runs past the end. Nothing when `location` is at or past the end
// or when both numbers are negative; a negative location alone counts from 0
// (the range is cut at 0), a negative length alone gives an empty slice.
std::optional<std::string_view> getSubstring(std::string_view s, std::ptrdiff_t location,
                                             std::ptrdiff_t length);
// The same for a UTF-16 location and length (ends inside a surrogate pair
// move back to the start of the pair).
std::optional<std::string_view> getSubstring(std::string_view s, Utf16Range range);

// Without the first n characters when it has at least n; otherwise the
// one-character string "\n" (not an empty string).
std::string dropFirstCustom(std::string_view s, std::ptrdiff_t n);

// ---- Searching and comparison ----

// The UTF-16 offset of the first occurrence of `text` (a character or any
// text); nothing when absent.
std::optional<std::ptrdiff_t> indexInt(std::string_view s, std::string_view text);
// The byte offset of the start (end) of the first occurrence.
std::optional<std::size_t> index(std::string_view s, std::string_view text,
                                 CompareOptions options = CompareOptions::none);
std::optional<std::size_t> endIndex(std::string_view s, std::string_view text,
                                    CompareOptions options = CompareOptions::none);
// The first occurrence as a byte range.
std::optional<StringRange> range(std::string_view s, std::string_view text,
                                 CompareOptions options = CompareOptions::none);
// The start (range) of every occurrence, left to right, each search going
// on from the end of the previous match (`backwards` does not apply).
std::vector<std::size_t> indices(std::string_view s, std::string_view text,
                                 CompareOptions options = CompareOptions::none);
std::vector<StringRange> ranges(std::string_view s, std::string_view text,
                                CompareOptions options = CompareOptions::none);
// range and ranges, failing when a regular expression does not compile or
// runs over its limit.
Result<std::optional<StringRange>> rangeR(std::string_view s, std::string_view text,
                                          CompareOptions options = CompareOptions::none);
Result<std::vector<StringRange>> rangesR(std::string_view s, std::string_view text,
                                         CompareOptions options = CompareOptions::none);
// Whether `text` occurs.
bool contains(std::string_view s, std::string_view text,
              CompareOptions options = CompareOptions::none);

// Prefix and suffix tests by whole characters ("" is a prefix of everything).
bool startsWith(std::string_view s, std::string_view prefix);
bool endsWith(std::string_view s, std::string_view suffix);

// -1, 0 or 1 as s sorts before, the same as or after `other`: scalar order,
// with `caseInsensitive` on case-folded text and with `numeric` digit runs
// compared by value ("1.10" after "1.9", "007" the same as "7").
int compare(std::string_view s, std::string_view other,
            CompareOptions options = CompareOptions::none);

// Whether any element of the list is a prefix (suffix) / occurs / equals the
// text. False for an empty list, except containsAllOf, which is then true.
template <detail::TextList L>
bool hasPrefix(std::string_view s, const L& list) {
  for (const auto& p : list) {
    if (startsWith(s, p)) return true;
  }
  return false;
}
template <detail::TextList L>
bool startsWithOneOf(std::string_view s, const L& list) {
  return hasPrefix(s, list);
}
template <detail::TextList L>
bool hasSuffix(std::string_view s, const L& list) {
  for (const auto& p : list) {
    if (endsWith(s, p)) return true;
  }
  return false;
}
template <detail::TextList L>
bool endsWithOneOf(std::string_view s, const L& list) {
  return hasSuffix(s, list);
}
template <detail::TextList L>
bool containsOneOf(std::string_view s, const L& list) {
  for (const auto& text : list) {
    if (contains(s, text)) return true;
  }
  return false;
}
template <detail::TextList L>
bool containsAllOf(std::string_view s, const L& list) {
  for (const auto& text : list) {
    if (!contains(s, text)) return false;
  }
  return true;
}
template <detail::TextList L>
bool equalToOneOf(std::string_view s, const L& list) {
  for (const auto& text : list) {
    if (s == std::string_view(text)) return true;
  }
  return false;
}
inline bool hasPrefix(std::string_view s, std::initializer_list<std::string_view> list) {
  return hasPrefix(s, std::span(list.begin(), list.size()));
}
inline bool startsWithOneOf(std::string_view s, std::initializer_list<std::string_view> list) {
  return hasPrefix(s, list);
}
inline bool hasSuffix(std::string_view s, std::initializer_list<std::string_view> list) {
  return hasSuffix(s, std::span(list.begin(), list.size()));
}
inline bool endsWithOneOf(std::string_view s, std::initializer_list<std::string_view> list) {
  return hasSuffix(s, list);
}
inline bool containsOneOf(std::string_view s, std::initializer_list<std::string_view> list) {
  return containsOneOf(s, std::span(list.begin(), list.size()));
}
inline bool containsAllOf(std::string_view s, std::initializer_list<std::string_view> list) {
  return containsAllOf(s, std::span(list.begin(), list.size()));
}
inline bool equalToOneOf(std::string_view s, std::initializer_list<std::string_view> list) {
  return equalToOneOf(s, std::span(list.begin(), list.size()));
}

// The text before (after) the first occurrence of the character c; "" when c
// is absent.
std::string stringBefore(std::string_view s, std::string_view c);
std::string stringAfter(std::string_view s, std::string_view c);
// When a occurs: from the start of the first a up to (not including) the
// first b after it, so the result begins with a; nothing when no b follows;
// "" (not nothing) when a does not occur.
std::optional<std::string> substringFromToFirst(std::string_view s, std::string_view a,
                                                std::string_view b);
// From the start up to the first b, ending before b (after it when
// `include`); nothing when b is absent.
std::optional<std::string> substringToFirst(std::string_view s, std::string_view b,
                                            bool include = false);
// The text after the first a and before the first b that follows it; nothing
// when either is missing.
std::optional<std::string> substringBetween(std::string_view s, std::string_view a,
                                            std::string_view b);

// ---- Replacement and transformation ----

// Regular-expression replacement of every match; the template refers to
// groups as $0...$n and ${name}, and a backslash makes the next character
// literal. The text unchanged when the pattern does not compile or a limit
// stops the search; replaceR fails then (its options add `caseInsensitive`).
std::string replace(std::string_view s, std::string_view pattern, std::string_view templ);
Result<std::string> replaceR(std::string_view s, std::string_view pattern, std::string_view templ,
                             CompareOptions options = CompareOptions::none);
// Literal replacement of every occurrence (byte for byte).
std::string replacing(std::string_view s, std::string_view from, std::string_view to);
// Replacement of every occurrence with the given options (with
// `regularExpression`, `to` is a template as for replace).
std::string replacingOccurrences(std::string_view s, std::string_view target, std::string_view to,
                                 CompareOptions options = CompareOptions::none);
// Replaces every occurrence of each element of the list in turn, in list order.
template <detail::TextList L>
std::string replacingAllOf(std::string_view s, const L& list, std::string_view to,
                           CompareOptions options = CompareOptions::none) {
  std::string out(s);
  for (const auto& target : list) out = replacingOccurrences(out, target, to, options);
  return out;
}
inline std::string replacingAllOf(std::string_view s, std::initializer_list<std::string_view> list,
                                  std::string_view to,
                                  CompareOptions options = CompareOptions::none) {
  return replacingAllOf(s, std::span(list.begin(), list.size()), to, options);
}
// Every character of s that is one of the characters of `set` becomes r.
std::string replacingAllSymbolsIn(std::string_view s, std::string_view set, std::string_view r);
// Keeps only the scalars inside (outside) the set. Invalid bytes are dropped
// by filterContains and kept by filterNotContains.
std::string filterContains(std::string_view s, const CharacterSet& set);
std::string filterNotContains(std::string_view s, const CharacterSet& set);

// First character upper-cased, the rest unchanged (Unicode full case
// mapping, so "ß" becomes "SS").
std::string capitalizingFirstLetter(std::string_view s);
void capitalizeFirstLetter(std::string& s);
// First character upper-cased, the rest lower-cased.
std::string capitalizingFirstLetterOnly(std::string_view s);
void capitalizeFirstLetterOnly(std::string& s);
// Whole-text case changes (Unicode, locale-independent).
std::string uppercased(std::string_view s);
std::string lowercased(std::string_view s);

// s repeated n times; "" for n <= 0 and when the result cannot be built
// (longer than 2^40 bytes, or memory runs out). Bring the operators in with
// `using mornik::operator*;`.
std::string operator*(std::string_view s, std::ptrdiff_t n);
std::string operator*(std::ptrdiff_t n, std::string_view s);

// Padded on the right with spaces up to n characters; never cut. When the
// padded text cannot be built (longer than 2^40 bytes, or memory runs out),
// force returns s unchanged and forceR fails with "can't pad string to <n>
// characters".
std::string force(std::string_view s, std::ptrdiff_t n);
Result<std::string> forceR(std::string_view s, std::ptrdiff_t n);
// Without p at the end when the text ends with p (by characters).
std::string removePostfix(std::string_view s, std::string_view p);

// Without every leading (trailing) character that is one of the list; trim
// does both. The list holds characters, as whitespaceChars() does; note that
// CR LF is one character, which a list of single scalars does not hold.
template <detail::TextList L>
std::string trimStart(std::string_view s, const L& list);
template <detail::TextList L>
std::string trimEnd(std::string_view s, const L& list);
template <detail::TextList L>
std::string trim(std::string_view s, const L& list) {
  return trimEnd(trimStart(s, list), list);
}
inline std::string trimStart(std::string_view s, std::initializer_list<std::string_view> list) {
  return trimStart(s, std::span(list.begin(), list.size()));
}
inline std::string trimEnd(std::string_view s, std::initializer_list<std::string_view> list) {
  return trimEnd(s, std::span(list.begin(), list.size()));
}
inline std::string trim(std::string_view s, std::initializer_list<std::string_view> list) {
  return trim(s, std::span(list.begin(), list.size()));
}
// The same with one character.
std::string trimStart(std::string_view s, std::string_view c);
std::string trimEnd(std::string_view s, std::string_view c);
std::string trim(std::string_view s, std::string_view c);

// Every whitespace and newline scalar of Unicode
// (CharacterSet::whitespacesAndNewlines()), each as a one-scalar string;
// built once.
const std::vector<std::string>& whitespaceChars();

// Conversions.
inline std::string asString(std::string_view s) { return std::string(s); }
inline std::string asString(const char* s) { return s == nullptr ? std::string() : s; }
// The textual description of any describable value (see describe()).
template <class T>
std::string asStr(const T& value) {
  return describe(value);
}
// The UTF-8 bytes; failure "can't convert string to data: <s>" when s is not
// valid UTF-8.
Result<Data> asData(std::string_view s);

// ---- Display truncation (unchanged when count <= length) ----

// The first `length` characters, then `trailing`.
std::string truncEnd(std::string_view s, std::ptrdiff_t length, std::string_view trailing = "…");
// `trailing`, then the last `length` characters.
std::string truncStart(std::string_view s, std::ptrdiff_t length, std::string_view trailing = "…");
// The first length / 2 characters, `trailing`, the last length / 2.
std::string truncCenter(std::string_view s, std::ptrdiff_t length, std::string_view trailing = "…");

// ---- Path-like strings (no file-system access) ----

// Without its last character when it ends with "/".
std::string skippingLastSlash(std::string_view s);
// The last non-empty "/"-separated component; "" when there is none.
std::string lastPathComonent(std::string_view s);
// The non-empty components but the last, joined with "/" (no leading "/").
std::string getExceptLastPathComponent(std::string_view s);
// The text before the last "/"; nothing when there is no "/".
std::optional<std::string_view> deletingLastPathComponent(std::string_view s);
// Without the extension: the text before the last "." that is neither the
// first character nor directly after a "/" (such dots are skipped and the
// scan goes on to the left); unchanged when there is none.
std::string removeFileExtension(std::string_view s);
// File and browser locations from strings: see URL.hpp (asURL, asURLdir,
// asBrowserUrl).

// The current user's home directory from the user database (getpwuid_r);
// ends the process when it cannot be read.
std::string homeDirectory();
// Every occurrence of the home directory path replaced by "~".
std::string abbreviatingHomeWithTilde(std::string_view s);
// A leading "~" that is the whole first component ("~", "~/docs") replaced
// by the home directory path. "~name/docs" is left as it is: a shell would
// read it as another user's home, and the home path glued to "name" would
// name neither.
std::string pathExpandingHomeWithTilde(std::string_view s);

// ---- Versions ----
// Dotted versions compared after padding the shorter with ".0" components,
// with digit runs compared by value: "1.2" equals "1.2.0", "1.10" is greater
// than "1.9". The receiver is s: isVersionGreaterThan(s, v) is s > v.
bool isVersionEqualTo(std::string_view s, std::string_view version);
bool isVersionGreaterThan(std::string_view s, std::string_view version);
bool isVersionGreaterThanOrEqualTo(std::string_view s, std::string_view version);
bool isVersionLessThan(std::string_view s, std::string_view version);
bool isVersionLessThanOrEqualTo(std::string_view s, std::string_view version);

// ---- Splitting ----

// Components separated by any scalar of `chars` (empty components kept; CR LF
// splits at both scalars).
std::vector<std::string> splitByCharsIn(std::string_view s, std::string_view chars);
// Starting from {s}, every piece is split at each separator in list order.
template <detail::TextList L>
std::vector<std::string> splitBySeparators(std::string_view s, const L& separators);
inline std::vector<std::string> splitBySeparators(
    std::string_view s, std::initializer_list<std::string_view> separators) {
  return splitBySeparators(s, std::span(separators.begin(), separators.size()));
}
// The pieces of s between occurrences of `separator` (all of s when it is
// empty or absent).
std::vector<std::string> components(std::string_view s, std::string_view separator);

// ---- Template definitions ----

namespace detail {
// The byte length of the first (last) character of s; 0 for "".
std::size_t firstCharacterLength(std::string_view s);
std::size_t lastCharacterLength(std::string_view s);
}  // namespace detail

template <detail::TextList L>
std::string trimStart(std::string_view s, const L& list) {
  for (;;) {
    const std::size_t length = detail::firstCharacterLength(s);
    if (length == 0 || !equalToOneOf(s.substr(0, length), list)) return std::string(s);
    s.remove_prefix(length);
  }
}

template <detail::TextList L>
std::string trimEnd(std::string_view s, const L& list) {
  for (;;) {
    const std::size_t length = detail::lastCharacterLength(s);
    if (length == 0 || !equalToOneOf(s.substr(s.size() - length), list)) return std::string(s);
    s.remove_suffix(length);
  }
}

template <detail::TextList L>
std::vector<std::string> splitBySeparators(std::string_view s, const L& separators) {
  std::vector<std::string> pieces{std::string(s)};
  for (const auto& separator : separators) {
    std::vector<std::string> next;
    for (const auto& piece : pieces) {
      for (auto& part : components(piece, separator)) next.push_back(std::move(part));
    }
    pieces = std::move(next);
  }
  return pieces;
}

}  // namespace mornik

MORNIK_EXPORTS_END
