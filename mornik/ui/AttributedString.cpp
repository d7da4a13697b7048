#include "mornik/ui/AttributedString.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

#include "mornik/concurrency/LockedVar.hpp"

namespace mornik {
namespace {

LockedVar<Font>& systemFontSlot() {
  static LockedVar<Font> font{Font{"Sans", 13, false}};
  return font;
}

// The length of the well-formed UTF-8 sequence at s[i], or 0 when it is
// ill-formed; `valid` gets the number of bytes that start it well (the
// maximal ill-formed prefix to replace, at least 1).
std::size_t sequenceLength(std::string_view s, std::size_t i, std::size_t& valid) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  valid = 1;
  if (lead < 0x80) return 1;
  std::size_t need = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    const unsigned char c = byte(i + k);
    if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return 0;
    valid = k + 1;
  }
  return need + 1;
}

std::string wellFormed(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    std::size_t valid = 0;
    const std::size_t n = sequenceLength(s, i, valid);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += valid;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

// UTF-16 units of the (well-formed) UTF-8 sequence led by `lead`.
std::size_t unitsOf(unsigned char lead) { return lead >= 0xF0 ? 2 : 1; }
bool isLead(char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }

std::size_t unitsIn(std::string_view s) {
  std::size_t units = 0;
  for (char c : s) {
    if (isLead(c)) units += unitsOf(static_cast<unsigned char>(c));
  }
  return units;
}

// The byte offset of a UTF-16 position, clamped to the end; a position
// inside a surrogate pair moves to the character's start (roundUp false) or
// end (roundUp true).
std::size_t byteOffset(std::string_view s, std::size_t units, bool roundUp) {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (!isLead(s[i])) continue;
    if (seen >= units) return i;
    seen += unitsOf(static_cast<unsigned char>(s[i]));
    if (seen > units && !roundUp) return i;
  }
  return s.size();
}

std::string escaped(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default: {
        // Markup cannot carry NUL, not even as a reference: it is left out.
        // (Other control characters pass as they are.)
        if (c == '\0') break;
        out += c;
      }
    }
  }
  return out;
}

std::string rgbHex(const Color& c) { return c.hexString(); }

// Pango's alpha: 1...65535 (0 is refused).
std::string pangoAlpha(double alpha) {
  return std::to_string(std::max(1L, std::lround(alpha * 65535)));
}

}  // namespace

bool TextAttributes::empty() const { return *this == TextAttributes{}; }

TextAttributes TextAttributes::adding(const TextAttributes& added) const {
  TextAttributes out = *this;
  if (added.font) out.font = added.font;
  if (added.foregroundColor) out.foregroundColor = added.foregroundColor;
  if (added.backgroundColor) out.backgroundColor = added.backgroundColor;
  if (added.underline) out.underline = added.underline;
  if (added.strikethrough) out.strikethrough = added.strikethrough;
  return out;
}

AttributedString::AttributedString(std::string_view text, const TextAttributes& attributes) {
  append(wellFormed(text), attributes);
}

Font AttributedString::systemFont() { return systemFontSlot().read(); }
void AttributedString::setSystemFont(Font font) { systemFontSlot().set(std::move(font)); }

std::size_t AttributedString::length() const { return unitsIn(text_); }

std::vector<AttributedString::Run> AttributedString::runs() const {
  std::vector<Run> out;
  out.reserve(runs_.size());
  std::size_t at = 0;
  for (const ByteRun& run : runs_) {
    const std::size_t units =
        unitsIn(std::string_view(text_).substr(run.begin, run.end - run.begin));
    out.push_back({{at, units}, run.attributes});
    at += units;
  }
  return out;
}

TextAttributes AttributedString::attributes() const {
  return runs_.empty() ? TextAttributes{} : runs_.front().attributes;
}

std::optional<TextAttributes> AttributedString::attributes(std::size_t at) const {
  if (at >= length()) return std::nullopt;
  const std::size_t byte = byteOffset(text_, at, false);
  for (const ByteRun& run : runs_) {
    if (byte < run.end) return run.attributes;
  }
  return std::nullopt;
}

AttributedString AttributedString::applying(const TextAttributes& added) const {
  return applyingBytes(added, 0, text_.size());
}

AttributedString AttributedString::applying(const TextAttributes& added, TextRange range) const {
  const std::size_t end = range.length > std::numeric_limits<std::size_t>::max() - range.location
                              ? std::numeric_limits<std::size_t>::max()
                              : range.location + range.length;
  return applyingBytes(added, byteOffset(text_, range.location, false),
                       byteOffset(text_, end, true));
}

AttributedString AttributedString::applyingToRangesMatching(const TextAttributes& added,
                                                            std::string_view pattern,
                                                            RegexOptions options) const {
  auto regex = Regex::make(pattern, options);
  if (!regex.isSuccess()) return *this;
  AttributedString out = *this;
  for (const RegexMatch& match : regex.value().matches(text_)) {
    if (match.range.end > match.range.begin) {
      out = out.applyingBytes(added, match.range.begin, match.range.end);
    }
  }
  return out;
}

AttributedString AttributedString::applyingToOccurrencesOf(const TextAttributes& added,
                                                           std::string_view literal) const {
  // Literal by option rather than inside \Q...\E, which a "\E" in the text
  // would end early.
  return applyingToRangesMatching(added, literal, RegexOptions::ignoreMetacharacters);
}

AttributedString AttributedString::bolded() const {
  if (empty()) return *this;
  Font font = systemFont();
  if (const auto& first = runs_.front().attributes.font) font.pointSize = first->pointSize;
  font.bold = true;
  return applying({.font = font});
}

AttributedString AttributedString::underlined() const {
  return applying({.underline = LineStyle::single});
}

AttributedString AttributedString::struckthrough() const {
  return applying({.strikethrough = LineStyle::single});
}

AttributedString AttributedString::coloredWith(const Color& color) const {
  return applying({.foregroundColor = color});
}

AttributedString& AttributedString::operator+=(const AttributedString& other) {
  const std::size_t offset = text_.size();
  text_ += other.text_;
  for (ByteRun run : other.runs_) {
    run.begin += offset;
    run.end += offset;
    runs_.push_back(std::move(run));
  }
  coalesce();
  return *this;
}

AttributedString& AttributedString::operator+=(std::string_view plain) {
  append(wellFormed(plain), {});
  return *this;
}

std::string AttributedString::pangoMarkup() const {
  std::string out;
  for (const ByteRun& run : runs_) {
    const std::string text =
        escaped(std::string_view(text_).substr(run.begin, run.end - run.begin));
    const TextAttributes& a = run.attributes;
    if (a.empty()) {
      out += text;
      continue;
    }
    out += "<span";
    if (a.font) {
      if (!a.font->family.empty()) out += " font_family=\"" + escaped(a.font->family) + "\"";
      if (std::isfinite(a.font->pointSize) && a.font->pointSize > 0) {
        out += " size=\"" + std::to_string(std::lround(a.font->pointSize * 1024)) + "\"";
      }
      if (a.font->bold) out += " weight=\"bold\"";
    }
    if (a.foregroundColor) {
      out += " foreground=\"" + rgbHex(*a.foregroundColor) + "\"";
      if (a.foregroundColor->alpha() < 1)
        out += " fgalpha=\"" + pangoAlpha(a.foregroundColor->alpha()) + "\"";
    }
    if (a.backgroundColor) {
      out += " background=\"" + rgbHex(*a.backgroundColor) + "\"";
      if (a.backgroundColor->alpha() < 1)
        out += " bgalpha=\"" + pangoAlpha(a.backgroundColor->alpha()) + "\"";
    }
    if (a.underline) {
      out += a.underline == LineStyle::single ? " underline=\"single\"" : " underline=\"double\"";
    }
    if (a.strikethrough) out += " strikethrough=\"true\"";
    out += ">" + text + "</span>";
  }
  return out;
}

AttributedString AttributedString::applyingBytes(const TextAttributes& added, std::size_t begin,
                                                 std::size_t end) const {
  AttributedString out = *this;
  if (begin >= end || added.empty()) return out;
  std::vector<ByteRun> runs;
  runs.reserve(runs_.size() + 2);
  for (const ByteRun& run : runs_) {
    // The run's pieces before, inside and after [begin, end).
    const std::array<std::size_t, 4> cuts = {run.begin, std::clamp(begin, run.begin, run.end),
                                             std::clamp(end, run.begin, run.end), run.end};
    for (std::size_t piece = 0; piece < 3; ++piece) {
      if (cuts[piece] == cuts[piece + 1]) continue;
      runs.push_back({cuts[piece], cuts[piece + 1],
                      piece == 1 ? run.attributes.adding(added) : run.attributes});
    }
  }
  out.runs_ = std::move(runs);
  out.coalesce();
  return out;
}

void AttributedString::append(std::string_view text, const TextAttributes& attributes) {
  if (text.empty()) return;
  runs_.push_back({text_.size(), text_.size() + text.size(), attributes});
  text_ += text;
  coalesce();
}

void AttributedString::coalesce() {
  std::vector<ByteRun> merged;
  merged.reserve(runs_.size());
  for (ByteRun& run : runs_) {
    if (!merged.empty() && merged.back().attributes == run.attributes) {
      merged.back().end = run.end;
    } else {
      merged.push_back(std::move(run));
    }
  }
  runs_ = std::move(merged);
}

AttributedString joined(const std::vector<AttributedString>& parts,
                        const AttributedString& separator) {
  AttributedString out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += separator;
    out += parts[i];
  }
  return out;
}

AttributedString joined(const std::vector<AttributedString>& parts, std::string_view separator) {
  return joined(parts, AttributedString(separator));
}

}  // namespace mornik
