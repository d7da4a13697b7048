#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A set of Unicode scalar values (code points), as the text operations use it
// for trimming, filtering and splitting.
//
//   auto digits = mornik::CharacterSet::decimalDigits();
//   digits.contains(U'7');                                 // true
//   mornik::CharacterSet vowels("aeiou");                  // the scalars of a text
//   auto greek = mornik::CharacterSet::fromPattern("[\\p{Script=Greek}]");
//
// The predefined sets follow Unicode's character properties (through ICU):
// whitespaces() is general category Zs plus tab; whitespacesAndNewlines() adds
// U+000A to U+000D, U+0085 and categories Zl and Zp; newlines() is U+000A to
// U+000D, U+0085, U+2028 and U+2029; letters() is categories L and M;
// decimalDigits() category Nd; alphanumerics() L, M and N; punctuation()
// category P; uppercaseLetters() Lu and Lt; lowercaseLetters() Ll.
//
// Thread safety: a CharacterSet is an immutable value; the predefined sets
// are built once and may be used from any thread.
class CharacterSet {
 public:
  // The empty set.
  CharacterSet() = default;
  // The scalars of `characters` (UTF-8; invalid bytes contribute nothing).
  explicit CharacterSet(std::string_view characters);
  // The scalars of the closed ranges [first, last].
  static CharacterSet fromRanges(std::vector<std::pair<char32_t, char32_t>> ranges);
  // A set written in ICU's UnicodeSet pattern syntax ("[a-z]", "[:Lu:]",
  // "[\\p{Emoji}]"); failure "invalid character set pattern: <pattern>".
  static Result<CharacterSet> fromPattern(std::string_view pattern);

  static const CharacterSet& whitespaces();
  static const CharacterSet& whitespacesAndNewlines();
  static const CharacterSet& newlines();
  static const CharacterSet& letters();
  static const CharacterSet& decimalDigits();
  static const CharacterSet& alphanumerics();
  static const CharacterSet& punctuation();
  static const CharacterSet& uppercaseLetters();
  static const CharacterSet& lowercaseLetters();

  bool contains(char32_t scalar) const;
  bool empty() const { return ranges_.empty(); }
  // The number of scalars in the set.
  std::size_t size() const;
  // Sorted, disjoint, non-adjacent closed ranges.
  const std::vector<std::pair<char32_t, char32_t>>& ranges() const { return ranges_; }

  CharacterSet unionWith(const CharacterSet& other) const;
  // Every scalar (U+0000 to U+10FFFF) not in this set.
  CharacterSet inverted() const;

  friend bool operator==(const CharacterSet&, const CharacterSet&) = default;

 private:
  std::vector<std::pair<char32_t, char32_t>> ranges_;
};

// Every member of the set, in ascending order, each as a one-scalar UTF-8
// string. Surrogate code points (which UTF-8 cannot hold) are left out.
std::vector<std::string> allCharacters(const CharacterSet& set);

}  // namespace mornik

MORNIK_EXPORTS_END
