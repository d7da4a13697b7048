// Colour text: the hexadecimal parsers and toRGBA() take any bytes, give
// channels within 0...1 (never NaN), and a parsed colour prints back as
// text that parses to the same colour.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "mornik/ui/Color.hpp"

#include "fuzz/Check.hpp"

namespace {

bool inUnit(double v) { return v >= 0 && v <= 1; }  // false for NaN

bool valid(const mornik::RGBA& c) {
  return inUnit(c.red) && inUnit(c.green) && inUnit(c.blue) && inUnit(c.alpha);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto c = mornik::Color::fromHexString(text)) {
    fuzz::check(valid(mornik::toRGBA(*c)) && c->alpha() == 1);
    fuzz::check(mornik::Color::fromHexString(c->hexString()) == c);
  }
  if (const auto c = mornik::Color::fromArgbHexString(text)) {
    fuzz::check(valid(mornik::toRGBA(*c)));
    fuzz::check(mornik::decodedColor(mornik::encodedText(*c)) == *c);
  }
  const mornik::RGBA rgba = mornik::toRGBA(text);
  fuzz::check(valid(rgba));
  fuzz::check(mornik::decodedColor(mornik::encodedText(mornik::fromRGBA(rgba))) ==
              mornik::fromRGBA(rgba));
  return 0;
}
