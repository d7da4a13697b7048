#include "mornik/ui/Color.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>

#include <nlohmann/json.hpp>

namespace mornik {
namespace {

constexpr std::string_view kUpperDigits = "0123456789ABCDEF";

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

double clampUnit(double v) {
  if (std::isnan(v)) return 0;
  return std::clamp(v, 0.0, 1.0);
}

int to8(double channel) { return static_cast<int>(std::lround(channel * 255)); }

// Steps 1 and 2 of the hexadecimal parsers, handing each character of the
// result to `sink` without copying the text: lower-case, then strip every
// "0x" (when the text starts with one), then every "#" (when what is left
// starts with one). Each removal is one left-to-right pass, as a
// replacement of every occurrence is ("00xx" leaves "0x").
template <class Sink>
void forEachNormalised(std::string_view text, Sink&& sink) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  const auto zeroXAt = [&](std::size_t i) {
    return i + 1 < text.size() && text[i] == '0' && lower(text[i + 1]) == 'x';
  };
  const bool stripZeroX = zeroXAt(0);
  std::size_t first = 0;
  while (stripZeroX && zeroXAt(first)) first += 2;
  const bool stripHash = first < text.size() && text[first] == '#';
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (stripZeroX && zeroXAt(i)) {
      ++i;
      continue;
    }
    const char c = lower(text[i]);
    if (stripHash && c == '#') continue;
    sink(c);
  }
}

std::string normalisedHex(std::string_view text) {
  std::string s;
  forEachNormalised(text, [&](char c) { s += c; });
  return s;
}

// Reads a signed 64-bit base-16 integer with an optional sign, a character
// at a time; nothing when empty, not all digits, or out of range.
class SignedHexReader {
 public:
  void add(char c) {
    ++count_;
    if (count_ == 1 && (c == '+' || c == '-')) {
      negative_ = c == '-';
      return;
    }
    const int d = hexDigit(c);
    const std::uint64_t limit = kMax + (negative_ ? 1 : 0);
    if (d < 0 || magnitude_ > (limit >> 4)) {
      bad_ = true;
      return;
    }
    magnitude_ = (magnitude_ << 4) | static_cast<std::uint64_t>(d);
    if (magnitude_ > limit) bad_ = true;
    digits_ = true;
  }
  std::size_t count() const { return count_; }
  std::optional<std::int64_t> value() const {
    if (bad_ || !digits_) return std::nullopt;
    if (!negative_) return static_cast<std::int64_t>(magnitude_);
    return magnitude_ == kMax + 1 ? std::numeric_limits<std::int64_t>::min()
                                  : -static_cast<std::int64_t>(magnitude_);
  }

 private:
  static constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  std::size_t count_ = 0;
  std::uint64_t magnitude_ = 0;
  bool negative_ = false;
  bool digits_ = false;
  bool bad_ = false;
};

std::optional<std::uint64_t> parseDigits(std::string_view s) {
  std::uint64_t value = 0;
  for (char c : s) {
    const int d = hexDigit(c);
    if (d < 0) return std::nullopt;
    value = (value << 4) | static_cast<std::uint64_t>(d);
  }
  return value;
}

std::string doubled(std::string_view s) {
  std::string out;
  for (char c : s) out.append(2, c);
  return out;
}

}  // namespace

std::optional<Color> Color::make(int red, int green, int blue, double transparency) {
  for (int channel : {red, green, blue}) {
    if (channel < 0 || channel > 255) return std::nullopt;
  }
  return rgb8(static_cast<std::uint8_t>(red), static_cast<std::uint8_t>(green),
              static_cast<std::uint8_t>(blue), transparency);
}

std::optional<Color> Color::fromHexString(std::string_view text, double transparency) {
  // The common "#RRGGBB" directly: the steps below give the same.
  if (text.size() == 7 && text[0] == '#') {
    std::int64_t hex = 0;
    bool digits = true;
    for (char c : text.substr(1)) {
      const int d = hexDigit(c);
      digits = digits && d >= 0;
      hex = (hex << 4) | (d & 0xF);
    }
    if (digits) return fromHex(hex, transparency);
  }
  // One pass over the text; the first three characters are kept for the
  // three-digit form, whose digits are doubled.
  SignedHexReader reader;
  std::array<int, 3> firstDigits{};
  forEachNormalised(text, [&](char c) {
    if (reader.count() < 3) firstDigits[reader.count()] = hexDigit(c);
    reader.add(c);
  });
  if (reader.count() == 3) {
    std::int64_t hex = 0;
    for (int d : firstDigits) {
      if (d < 0) return std::nullopt;
      hex = (hex << 8) | (std::int64_t{d} * 0x11);
    }
    return fromHex(hex, transparency);
  }
  const auto hex = reader.value();
  if (!hex) return std::nullopt;
  return fromHex(*hex, transparency);
}

std::optional<Color> Color::fromArgbHexString(std::string_view text) {
  if (text.size() < 5) return std::nullopt;
  std::string s = normalisedHex(text);
  if (s.size() == 3 || s.size() == 4) s = doubled(s);
  if (s.size() != 6 && s.size() != 8) return std::nullopt;
  const auto value = parseDigits(s);
  if (!value) return std::nullopt;
  const double alpha = s.size() == 8 ? static_cast<double>(*value >> 24) / 255.0 : 1.0;
  return fromHex(static_cast<std::int64_t>(*value & 0xFFFFFF), alpha);
}

std::optional<Color> Color::complementaryFor(const Color& other) { return other.complementary(); }

Color Color::random() {
  thread_local std::mt19937 engine{std::random_device{}()};
  std::uniform_int_distribution<int> channel(0, 255);
  return rgb8(static_cast<std::uint8_t>(channel(engine)),
              static_cast<std::uint8_t>(channel(engine)),
              static_cast<std::uint8_t>(channel(engine)));
}

Color Color::blend(const Color& c1, double i1, const Color& c2, double i2) {
  if (std::isnan(i1) || i1 < 0) i1 = 0;
  if (std::isnan(i2) || i2 < 0) i2 = 0;
  double w1 = 0;
  double w2 = 0;
  if (std::isinf(i1) || std::isinf(i2)) {
    w1 = std::isinf(i1) ? (std::isinf(i2) ? 0.5 : 1.0) : 0.0;
    w2 = 1 - w1;
  } else if (i1 + i2 > 0) {
    // Halved first, so two huge intensities do not overflow their sum.
    const double h1 = i1 / 2;
    const double h2 = i2 / 2;
    w1 = h1 / (h1 + h2);
    w2 = h2 / (h1 + h2);
  }
  if (w1 <= 0) return c2;
  if (w2 <= 0) return c1;
  return Color(w1 * c1.red_ + w2 * c2.red_, w1 * c1.green_ + w2 * c2.green_,
               w1 * c1.blue_ + w2 * c2.blue_, w1 * c1.alpha_ + w2 * c2.alpha_);
}

RGBComponents Color::rgbComponents() const { return {to8(red_), to8(green_), to8(blue_)}; }

HSBA Color::hsbaComponents() const {
  const double maxC = std::max({red_, green_, blue_});
  const double minC = std::min({red_, green_, blue_});
  const double delta = maxC - minC;
  HSBA out{0, maxC > 0 ? delta / maxC : 0, maxC, alpha_};
  if (delta > 0) {
    double hue = 0;
    if (maxC == red_) {
      hue = (green_ - blue_) / delta;
      if (hue < 0) hue += 6;
    } else if (maxC == green_) {
      hue = (blue_ - red_) / delta + 2;
    } else {
      hue = (red_ - green_) / delta + 4;
    }
    out.hue = hue / 6;
  }
  return out;
}

std::uint32_t Color::uInt() const {
  const auto r = static_cast<std::uint32_t>(red_ * 255);
  const auto g = static_cast<std::uint32_t>(green_ * 255);
  const auto b = static_cast<std::uint32_t>(blue_ * 255);
  return (r << 16) + (g << 8) + b;
}

std::string Color::hexString() const {
  const RGBComponents c = rgbComponents();
  std::string out = "#";
  for (int v : {c.red, c.green, c.blue}) {
    out += kUpperDigits[v >> 4];
    out += kUpperDigits[v & 0xF];
  }
  return out;
}

std::optional<std::string> Color::shortHexString() const {
  const RGBComponents c = rgbComponents();
  std::string out = "#";
  for (int v : {c.red, c.green, c.blue}) {
    if ((v >> 4) != (v & 0xF)) return std::nullopt;
    out += kUpperDigits[v & 0xF];
  }
  return out;
}

std::string Color::shortHexOrHexString() const {
  auto s = shortHexString();
  return s ? *s : hexString();
}

std::optional<Color> Color::complementary() const {
  const auto flip = [](double c) { return std::sqrt(std::max(0.0, 1 - c * c)); };
  return Color(flip(red_), flip(green_), flip(blue_), 1);
}

Color Color::lighten(double p) const {
  if (std::isnan(p)) return *this;
  return Color(clampUnit(red_ + p), clampUnit(green_ + p), clampUnit(blue_ + p), alpha_);
}

Color Color::darken(double p) const {
  if (std::isnan(p)) return *this;
  return lighten(-p);
}

RGBA toRGBA(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\n\r\v\f";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  text = text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
  // The length of the remainder without its "#"s, in characters (UTF-8
  // continuation bytes do not count), and the hexadecimal value at its start.
  std::size_t length = 0;
  std::uint64_t value = 0;
  bool scanning = true;
  for (char c : text) {
    if (c == '#') continue;
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++length;
    const int d = hexDigit(c);
    if (d < 0) scanning = false;
    if (scanning) value = (value << 4) | static_cast<std::uint64_t>(d);
  }
  const auto channel = [&](int shift) {
    return static_cast<double>((value >> shift) & 0xFF) / 255;
  };
  if (length == 8) return {channel(24), channel(16), channel(8), channel(0)};
  if (length == 6) return {channel(16), channel(8), channel(0), 1};
  return {};
}

Color fromRGBA(const RGBA& rgba) {
  return Color(clampUnit(rgba.red), clampUnit(rgba.green), clampUnit(rgba.blue),
               Color::clampAlpha(rgba.alpha));
}

RGBA8 toRGBA8(const Color& c) {
  return {static_cast<std::uint8_t>(to8(c.red())), static_cast<std::uint8_t>(to8(c.green())),
          static_cast<std::uint8_t>(to8(c.blue())), static_cast<std::uint8_t>(to8(c.alpha()))};
}

std::uint32_t toARGB32(const Color& c) {
  const RGBA8 v = toRGBA8(c);
  return (std::uint32_t{v.alpha} << 24) | (std::uint32_t{v.red} << 16) |
         (std::uint32_t{v.green} << 8) | v.blue;
}

std::string encodedText(const Color& c) {
  std::string out;
  for (double channel : {c.red(), c.green(), c.blue(), c.alpha()}) {
    const long v = std::lround(static_cast<float>(channel) * 255.0F);
    out += kUpperDigits[(v >> 4) & 0xF];
    out += kUpperDigits[v & 0xF];
  }
  return out;
}

Color decodedColor(std::string_view text) { return fromRGBA(toRGBA(text)); }

void to_json(Json& json, const Color& c) { json = encodedText(c); }

void from_json(const Json& json, Color& c) { c = decodedColor(json.get<std::string>()); }

}  // namespace mornik
