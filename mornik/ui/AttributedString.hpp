#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/text/Regex.hpp"
#include "mornik/ui/Color.hpp"

MORNIK_EXPORTS_BEGIN

// Styled text: UTF-8 text with attributes (font, colours, underline,
// strike-through) over ranges of it, as a value. Every operation returns a
// new value and leaves its operands unchanged.
//
//   mornik::AttributedString title("Total: 42 items");
//   auto shown = title.bolded().applyingToRangesMatching(
//       {.foregroundColor = mornik::Material::red}, "[0-9]+");
//   label.set_markup(shown.pangoMarkup());              // GTK: Pango markup
//
// Ranges are given and reported in UTF-16 code units, as the desktop
// toolkits that count that way expect: "é" is one unit, an emoji outside the
// Basic Multilingual Plane two. A range that reaches past the end is cut at
// the end; a range boundary inside a surrogate pair (between the two units
// of one character) moves outwards, so the whole character is covered.
// Invalid UTF-8 given to the constructor is replaced by U+FFFD (one per
// maximal ill-formed sequence), so the text is always valid UTF-8.
//
// Thread safety: an AttributedString is a value; distinct values may be used
// from any threads, one value from several threads only to read.
// systemFont() and setSystemFont() may be called from any thread.

namespace mornik {

enum class LineStyle { single, doubleLine };

// A font by family name and point size, regular or bold.
struct Font {
  std::string family;
  double pointSize = 0;
  bool bold = false;
  friend bool operator==(const Font&, const Font&) = default;
};

// The attribute dictionary of a piece of text: each attribute is either set
// or absent.
struct TextAttributes {
  // (Each starts absent, so designated initializers may name any subset.)
  std::optional<Font> font = std::nullopt;
  std::optional<Color> foregroundColor = std::nullopt;
  std::optional<Color> backgroundColor = std::nullopt;
  std::optional<LineStyle> underline = std::nullopt;
  std::optional<LineStyle> strikethrough = std::nullopt;

  bool empty() const;
  // These attributes with every attribute that `added` sets replaced.
  TextAttributes adding(const TextAttributes& added) const;
  friend bool operator==(const TextAttributes&, const TextAttributes&) = default;
};

// A range in UTF-16 code units.
struct TextRange {
  std::size_t location = 0;
  std::size_t length = 0;
  friend bool operator==(const TextRange&, const TextRange&) = default;
};

class AttributedString {
 public:
  // A stretch of text with one set of attributes.
  struct Run {
    TextRange range;
    TextAttributes attributes;
    friend bool operator==(const Run&, const Run&) = default;
  };

  AttributedString() = default;
  // `text` with `attributes` over the whole of it.
  explicit AttributedString(std::string_view text, const TextAttributes& attributes = {});

  // The font `bolded()` uses: a settable default for the process ("Sans",
  // 13 points, unless set).
  static Font systemFont();
  static void setSystemFont(Font font);

  const std::string& string() const { return text_; }
  // The length in UTF-16 code units.
  std::size_t length() const;
  bool empty() const { return text_.empty(); }
  // The runs in order, covering the text; neighbours differ in attributes.
  std::vector<Run> runs() const;

  // The attributes at the first character (empty for an empty text).
  TextAttributes attributes() const;
  // The attributes at a UTF-16 position; nothing at or past the end.
  std::optional<TextAttributes> attributes(std::size_t at) const;

  // A copy with `added` over the whole text (over `range` only).
  AttributedString applying(const TextAttributes& added) const;
  AttributedString applying(const TextAttributes& added, TextRange range) const;
  // A copy with `added` over every non-empty match of the pattern (ICU's
  // syntax, see Regex); the text unchanged when the pattern does not compile
  // or the match runs over its limit.
  AttributedString applyingToRangesMatching(const TextAttributes& added, std::string_view pattern,
                                            RegexOptions options = RegexOptions::none) const;
  // The same for every occurrence of `literal`, matched literally whatever it
  // holds (dots, brackets, even "\E").
  AttributedString applyingToOccurrencesOf(const TextAttributes& added,
                                           std::string_view literal) const;

  // The bold system font over the whole text, at the point size of the font
  // at the first character, or at the system font's size when it has none;
  // an empty text unchanged.
  AttributedString bolded() const;
  // A single underline (strike-through line) over the whole text.
  AttributedString underlined() const;
  AttributedString struckthrough() const;
  // The foreground colour over the whole text.
  AttributedString coloredWith(const Color& color) const;

  // Concatenation; a plain text gets no attributes.
  AttributedString& operator+=(const AttributedString& other);
  AttributedString& operator+=(std::string_view plain);
  friend AttributedString operator+(AttributedString a, const AttributedString& b) {
    return a += b;
  }
  friend AttributedString operator+(AttributedString a, std::string_view plain) {
    return a += plain;
  }

  // The text as Pango markup (one <span> per run with attributes, the text
  // escaped), for gtk_label_set_markup() and pango_parse_markup(). Fonts
  // become font_family, size (in 1024ths of a point) and weight; colours
  // foreground/background "#RRGGBB" with fgalpha/bgalpha when not opaque;
  // underline "single" or "double"; strikethrough "true". NUL, which markup
  // cannot carry, is left out.
  std::string pangoMarkup() const;

  friend bool operator==(const AttributedString&, const AttributedString&) = default;

 private:
  // Byte ranges of text_, on code point boundaries.
  struct ByteRun {
    std::size_t begin = 0;
    std::size_t end = 0;
    TextAttributes attributes;
    friend bool operator==(const ByteRun&, const ByteRun&) = default;
  };
  AttributedString applyingBytes(const TextAttributes& added, std::size_t begin,
                                 std::size_t end) const;
  void append(std::string_view text, const TextAttributes& attributes);
  void coalesce();

  std::string text_;
  std::vector<ByteRun> runs_;
};

// The first element followed by `separator` and the element for each further
// element; an empty list yields an empty text.
AttributedString joined(const std::vector<AttributedString>& parts,
                        const AttributedString& separator);
AttributedString joined(const std::vector<AttributedString>& parts, std::string_view separator);

}  // namespace mornik

MORNIK_EXPORTS_END
