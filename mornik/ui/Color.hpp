#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/text/JsonFwd.hpp"

MORNIK_EXPORTS_BEGIN

// Colours for a user interface: an sRGB colour with double channels in 0...1
// and an alpha channel in 0...1, built from 8-bit channels or hexadecimal
// text, formatted as hexadecimal text, mixed, lightened, darkened and
// complemented, and stored as text.
//
//   auto teal = mornik::Color::fromHexString("#1ABC9C");     // std::optional<Color>
//   teal->hexString();                                        // "#1ABC9C"
//   mornik::Color::blend(*teal, 1, mornik::Color::rgb8(0, 0, 0), 1).hexString();
//   mornik::toRGBA("80FF0040");                               // {0.502, 1, 0, 0.251}
//
// A Color is the library's own small value type and depends on no toolkit;
// plain functions convert it to and from the forms toolkits use: a packed
// 32-bit ARGB value (what Qt calls QRgb), RGBA doubles (what GTK's GdkRGBA
// holds) and four 8-bit channels.
//
// Thread safety: a Color is an immutable value; Color::random() may be called
// from any thread.

namespace mornik {

// Four channels as doubles, red, green, blue, alpha: the result of toRGBA()
// and the form of GTK's GdkRGBA.
struct RGBA {
  double red = 0;
  double green = 0;
  double blue = 0;
  double alpha = 1;
  friend bool operator==(const RGBA&, const RGBA&) = default;
};

// Four 8-bit channels.
struct RGBA8 {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  std::uint8_t alpha = 255;
  friend bool operator==(const RGBA8&, const RGBA8&) = default;
};

// Red, green and blue as integers 0...255.
struct RGBComponents {
  int red = 0;
  int green = 0;
  int blue = 0;
  friend bool operator==(const RGBComponents&, const RGBComponents&) = default;
};

// Red, green and blue as doubles 0...1.
struct RGBFloatComponents {
  double red = 0;
  double green = 0;
  double blue = 0;
  friend bool operator==(const RGBFloatComponents&, const RGBFloatComponents&) = default;
};

// Hue, saturation and brightness (value), each 0...1 (hue 0 is red, 1/3
// green, 2/3 blue; a grey has hue and saturation 0), and alpha.
struct HSBA {
  double hue = 0;
  double saturation = 0;
  double brightness = 0;
  double alpha = 1;
};

class Color {
 public:
  // Opaque black.
  constexpr Color() = default;

  // ---- Construction ----

  // From 8-bit channels; nothing when a channel is above 255 or negative.
  // `transparency` (alpha) is clamped into 0...1; NaN counts as 1.
  static std::optional<Color> make(int red, int green, int blue, double transparency = 1);
  // From 8-bit channels that are in range by their type.
  static constexpr Color rgb8(std::uint8_t red, std::uint8_t green, std::uint8_t blue,
                              double transparency = 1) {
    return Color(red / 255.0, green / 255.0, blue / 255.0, clampAlpha(transparency));
  }
  // From an integer holding red, green and blue in bits 23-16, 15-8 and 7-0
  // (higher bits are ignored; a negative value is read in two's complement).
  // Alpha clamped as in make().
  static constexpr Color fromHex(std::int64_t hex, double transparency = 1) {
    return rgb8(static_cast<std::uint8_t>((hex >> 16) & 0xFF),
                static_cast<std::uint8_t>((hex >> 8) & 0xFF), static_cast<std::uint8_t>(hex & 0xFF),
                transparency);
  }
  // From hexadecimal text, in these steps:
  //   1. lower-case the text;
  //   2. when it starts with "0x", remove every "0x"; then, when it starts
  //      with "#", remove every "#";
  //   3. when three characters remain, double each ("abc" -> "aabbcc");
  //   4. read the rest as a signed 64-bit base-16 integer with an optional
  //      leading "+" or "-";
  //   5. fromHex(that, transparency).
  // Nothing when the rest is empty, holds a character other than a
  // hexadecimal digit (blanks included) after the sign, or does not fit in
  // 64 bits (more than 16 digits, say).
  static std::optional<Color> fromHexString(std::string_view text, double transparency = 1);
  // From hexadecimal text with alpha before red, green and blue, for text of
  // at least five characters, after steps 1 and 2 above: eight digits
  // AARRGGBB; four digits ARGB, each doubled; six digits RRGGBB and three
  // digits RGB (doubled) are opaque. Nothing for text shorter than five
  // characters, for any other number of digits, and for anything but digits
  // (no sign here: the digits' count places the alpha).
  static std::optional<Color> fromArgbHexString(std::string_view text);
  // The complementary colour of `other` (see complementary()).
  static std::optional<Color> complementaryFor(const Color& other);
  // Three random 8-bit channels, opaque.
  static Color random();

  // Mixes two colours: with w1 = i1 / (i1 + i2) and w2 = i2 / (i1 + i2),
  // c2 when w1 <= 0, otherwise c1 when w2 <= 0, otherwise each channel
  // (alpha too) w1 * c1 + w2 * c2. A negative or NaN intensity counts as 0,
  // so with both 0 the result is c2; an infinite intensity outweighs any
  // finite one, and two infinite ones weigh the same.
  static Color blend(const Color& c1, double i1, const Color& c2, double i2);

  // ---- Components ----

  constexpr double red() const { return red_; }
  constexpr double green() const { return green_; }
  constexpr double blue() const { return blue_; }
  constexpr double alpha() const { return alpha_; }

  // Each channel times 255, rounded to the nearest integer.
  RGBComponents rgbComponents() const;
  RGBFloatComponents cgFloatComponents() const { return {red_, green_, blue_}; }
  HSBA hsbaComponents() const;
  // (r * 255) << 16 + (g * 255) << 8 + (b * 255), each product truncated.
  std::uint32_t uInt() const;

  // ---- Text ----

  // "#RRGGBB" of rgbComponents(), upper-case.
  std::string hexString() const;
  // "#RGB" when each channel's two hexadecimal digits are equal; nothing
  // otherwise.
  std::optional<std::string> shortHexString() const;
  std::string shortHexOrHexString() const;

  // ---- Derived colours ----

  // The colour as an image-processing colour value. The library has no
  // separate image colour type: this is the same value.
  Color coreImageColor() const { return *this; }
  // Each channel c becomes sqrt(1 - c^2), alpha 1. Every Color is already in
  // device RGB, so the conversion that could fail elsewhere never does here
  // and the result always has a value.
  std::optional<Color> complementary() const;
  // Red, green and blue each raised (lowered) by p and kept within 0...1;
  // alpha unchanged. A NaN p changes nothing.
  Color lighten(double p) const;
  Color darken(double p) const;

  friend bool operator==(const Color&, const Color&) = default;

 private:
  constexpr Color(double red, double green, double blue, double alpha)
      : red_(red), green_(green), blue_(blue), alpha_(alpha) {}
  static constexpr double clampAlpha(double a) {
    if (a != a) return 1;  // NaN
    return a < 0 ? 0 : (a > 1 ? 1 : a);
  }
  friend Color fromRGBA(const RGBA& rgba);

  double red_ = 0;
  double green_ = 0;
  double blue_ = 0;
  double alpha_ = 1;
};

// Red, green, blue and alpha of a colour text, in these steps:
//   1. trim whitespace and newlines (ASCII) at both ends; remove every "#";
//   2. read hexadecimal digits from the start of the remainder into a 64-bit
//      value, stopping at the first other character;
//   3. the remainder's length in characters (not the number of digits read)
//      picks the layout: eight: red, green, blue, alpha from bits 31-24,
//      23-16, 15-8, 7-0; six: red, green, blue from bits 23-16, 15-8, 7-0
//      and alpha 1; any other: opaque black.
RGBA toRGBA(std::string_view text);

// ---- Conversions to and from the toolkits' forms ----

// Channels clamped into 0...1; a NaN channel counts as 0, a NaN alpha as 1.
Color fromRGBA(const RGBA& rgba);
inline RGBA toRGBA(const Color& c) { return {c.red(), c.green(), c.blue(), c.alpha()}; }
// Each channel times 255, rounded to the nearest integer.
RGBA8 toRGBA8(const Color& c);
constexpr Color fromRGBA8(const RGBA8& c) {
  return Color::rgb8(c.red, c.green, c.blue, c.alpha / 255.0);
}
// Packed 0xAARRGGBB, each channel as in toRGBA8().
std::uint32_t toARGB32(const Color& c);
constexpr Color fromARGB32(std::uint32_t argb) {
  return fromRGBA8(RGBA8{static_cast<std::uint8_t>(argb >> 16),
                         static_cast<std::uint8_t>(argb >> 8), static_cast<std::uint8_t>(argb),
                         static_cast<std::uint8_t>(argb >> 24)});
}

// ---- The stored text form ----

// Eight hexadecimal digits RRGGBBAA, upper-case: each channel multiplied by
// 255 and rounded to the nearest integer in single precision. (A Color
// always has its alpha, so the six-digit form is never written; it is read.)
std::string encodedText(const Color& c);
// The colour of a stored text, read with toRGBA() (so any text gives a
// colour: opaque black when it is neither six nor eight characters).
Color decodedColor(std::string_view text);

// JSON: a Color is one string in the stored text form.
void to_json(Json& json, const Color& c);  // NOLINT(readability-identifier-naming)
// Throws Json's type error when the value is not a string.
void from_json(const Json& json, Color& c);  // NOLINT(readability-identifier-naming)

}  // namespace mornik

MORNIK_EXPORTS_END
