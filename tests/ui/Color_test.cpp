#include "mornik/ui/Color.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "mornik/text/Json.hpp"

#include "tests/support/Concurrently.hpp"

namespace mornik {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

void expectNear(const RGBA& got, const RGBA& want, const std::string& what, double within = 0.001) {
  EXPECT_NEAR(got.red, want.red, within) << what;
  EXPECT_NEAR(got.green, want.green, within) << what;
  EXPECT_NEAR(got.blue, want.blue, within) << what;
  EXPECT_NEAR(got.alpha, want.alpha, within) << what;
}

TEST(Color, HexStringsParseByTheirStepsOrGiveNothing) {
  const struct {
    const char* text;
    std::optional<std::uint32_t> rgb;
  } cases[] = {
      // clang-format off
      {"#FFF", 0xFFFFFF}, {"fff", 0xFFFFFF}, {"0xffffff", 0xFFFFFF}, {"0X1A2B3C", 0x1A2B3C},
      {"0x#fff", 0xFFFFFF}, {"0x0x12", 0x000012}, {"##1a2b3c", 0x1A2B3C}, {"+123456", 0x123456},
      {"-1", 0xFFFFFF}, {"12345", 0x012345}, {"#abcd", 0x00ABCD}, {"7fffffffffffffff", 0xFFFFFF},
      {"-8000000000000000", 0}, {"#GGG", std::nullopt}, {"#0x123456", std::nullopt},
      {" fff", std::nullopt}, {"ff f", std::nullopt}, {"", std::nullopt}, {"#", std::nullopt},
      {"+", std::nullopt}, {"8000000000000000", std::nullopt}, {"1234567890abcdef1", std::nullopt},
      {"#1A2b3C", 0x1A2B3C}, {"#-12345", 0xFEDCBB}, {"#12345g", std::nullopt},
      // clang-format on
  };
  for (const auto& c : cases) {
    const auto color = Color::fromHexString(c.text, 0.5);
    EXPECT_EQ(color ? std::optional(color->uInt()) : std::nullopt, c.rgb) << c.text;
    EXPECT_EQ(color.value_or(Color::fromHex(0, 0.5)).alpha(), 0.5) << c.text;
  }
}

TEST(Color, ArgbHexStringsPlaceAlphaByDigitCount) {
  const struct {
    const char* text;
    std::optional<std::uint32_t> argb;
  } cases[] = {
      {"#80FF0040", 0x80FF0040}, {"0x80ff0040", 0x80FF0040},  {"#8F04", 0x88FF0044},
      {"#FF0040", 0xFFFF0040},   {"#F04", std::nullopt},      {"#F04FF", std::nullopt},
      {"-FF0040", std::nullopt}, {"#80FF004G", std::nullopt}, {"", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto color = Color::fromArgbHexString(c.text);
    EXPECT_EQ(color ? std::optional(toARGB32(*color)) : std::nullopt, c.argb) << c.text;
  }
}

TEST(Color, ChannelsOutOfRangeGiveNothingAndAlphaIsClamped) {
  EXPECT_FALSE(Color::make(256, 0, 0));
  EXPECT_FALSE(Color::make(0, -1, 0));
  EXPECT_EQ(Color::make(255, 0, 0, 2)->alpha(), 1);
  EXPECT_EQ(Color::make(255, 0, 0, -1)->alpha(), 0);
  EXPECT_EQ(Color::make(255, 0, 0, kNaN)->alpha(), 1);
  EXPECT_EQ(Color::fromHex(0x123456, 7).alpha(), 1);
}

TEST(Color, ToRGBAPicksTheLayoutByTheRemaindersLength) {
  const struct {
    const char* text;
    RGBA want;
  } cases[] = {
      // clang-format off
      {"80FF0040", {0.502, 1, 0, 0.251}}, {"", {0, 0, 0, 1}}, {" #80FF00\n", {0.502, 1, 0, 1}},
      {"#12#34#56", {0x12 / 255.0, 0x34 / 255.0, 0x56 / 255.0, 1}}, {"80FF00zz", {0, 0.502, 1, 0}},
      {"123", {0, 0, 0, 1}}, {"1234567890", {0, 0, 0, 1}}, {"ÿÿÿÿÿÿÿÿ", {0, 0, 0, 0}},
      // clang-format on
  };
  for (const auto& c : cases) expectNear(toRGBA(c.text), c.want, c.text);
}

TEST(Color, FormatsAsHexText) {
  const Color aabbcc = Color::fromHex(0xAABBCC);
  EXPECT_EQ(aabbcc.hexString(), "#AABBCC");
  EXPECT_EQ(aabbcc.shortHexString(), "#ABC");
  EXPECT_EQ(aabbcc.shortHexOrHexString(), "#ABC");
  EXPECT_EQ(Color::fromHex(0xAABBCD).shortHexString(), std::nullopt);
  EXPECT_EQ(Color::fromHex(0xAABBCD).shortHexOrHexString(), "#AABBCD");
  // uInt truncates each product; the components round.
  const Color half = fromRGBA({0.5, 0.5, 0.5, 1});
  EXPECT_EQ(half.uInt(), 0x7F7F7FU);
  EXPECT_EQ(half.rgbComponents(), (RGBComponents{128, 128, 128}));
  EXPECT_EQ(Color::fromHex(0x123456).uInt(), 0x123456U);
}

TEST(Color, BlendWeighsByIntensityAndNeverGivesNaN) {
  const Color a = Color::fromHex(0xFF0000, 1);
  const Color b = Color::fromHex(0x0000FF, 0);
  const Color mid = fromRGBA({0.5, 0, 0.5, 0.5});
  const struct {
    double i1, i2;
    Color want;
  } cases[] = {{0, 5, b},    {5, 0, a},         {0, 0, b},          {kNaN, 1, b},
               {1, kNaN, a}, {1, -2, a},        {-kInf, 1, b},      {1, 1, mid},
               {kInf, 1, a}, {kInf, kInf, mid}, {1e308, 1e308, mid}};
  for (const auto& c : cases) {
    EXPECT_EQ(Color::blend(a, c.i1, b, c.i2), c.want) << c.i1 << " " << c.i2;
  }
}

TEST(Color, LightenDarkenAndComplementKeepChannelsInRange) {
  const Color c = fromRGBA({0.9, 0.5, 0.05, 0.4});
  expectNear(toRGBA(c.lighten(0.2)), {1, 0.7, 0.25, 0.4}, "lighten");
  expectNear(toRGBA(c.darken(0.2)), {0.7, 0.3, 0, 0.4}, "darken");
  expectNear(toRGBA(c.lighten(-2)), {0, 0, 0, 0.4}, "lighten by a negative");
  EXPECT_EQ(c.lighten(kNaN), c);
  EXPECT_EQ(c.darken(kNaN), c);
  expectNear(toRGBA(*Color::complementaryFor(c)),
             {std::sqrt(1 - 0.81), std::sqrt(0.75), std::sqrt(1 - 0.0025), 1}, "complementary");
  const HSBA blue = Color::fromHex(0x0000FF).hsbaComponents();
  EXPECT_NEAR(blue.hue, 2.0 / 3, 1e-9);
  EXPECT_EQ(blue.saturation, 1);
  EXPECT_EQ(Color::fromHex(0x808080).hsbaComponents().saturation, 0);
}

TEST(Color, StoredTextRoundTripsWithinOneStep) {
  EXPECT_EQ(encodedText(fromRGBA({0.5, 1, 0, 0.25})), "80FF0040");
  for (int i = 0; i < 200; ++i) {
    const Color c = fromRGBA({i / 199.0, 1 - i / 199.0, (i % 7) / 6.0, (i % 5) / 4.0});
    const Color back = decodedColor(encodedText(c));
    // Within half a step of 1/255: the channels are rounded, not truncated.
    expectNear(toRGBA(back), toRGBA(c), std::to_string(i), 0.5 / 255 + 1e-9);
    // Stored again, the text is the same.
    EXPECT_EQ(encodedText(back), encodedText(c));
    Json json = c;
    EXPECT_EQ(json.get<Color>(), back);
  }
  EXPECT_THROW(Json(3).get<Color>(), Json::type_error);
}

TEST(Color, ConvertsToAndFromToolkitForms) {
  const Color c = Color::fromHex(0x336699, 0.6);
  EXPECT_EQ(toARGB32(c), 0x99336699U);
  EXPECT_EQ(toRGBA8(fromARGB32(0x80102030)), (RGBA8{0x10, 0x20, 0x30, 0x80}));
  EXPECT_EQ(fromRGBA({kNaN, 2, -1, kNaN}), fromRGBA({0, 1, 0, 1}));
  const Color r = Color::random();
  EXPECT_EQ(r.alpha(), 1);
  EXPECT_EQ(Color::fromHex(r.uInt()), r);
}

// Random colours come from a generator per thread: no thread waits for, or
// races with, another (ThreadSanitizer reports a shared unguarded one).
TEST(Color, RandomMayBeCalledFromManyThreadsAtOnce) {
  test::runConcurrently(4, [](int) {
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(Color::random().alpha(), 1);
  });
}

}  // namespace
}  // namespace mornik
