#include "mornik/ui/AttributedString.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <pango/pango.h>

#include "tests/support/Concurrently.hpp"

namespace mornik {
namespace {

using TextRun = AttributedString::Run;
const TextAttributes kRed{.foregroundColor = Color::fromHex(0xFF0000)};
const TextAttributes kBlue{.foregroundColor = Color::fromHex(0x0000FF)};

// "a😀b": the emoji is two UTF-16 units.
const std::string kEmoji =
    "a\xF0\x9F\x98\x80"
    "b";

TEST(AttributedString, RangesAreUTF16UnitsCutAtTheEndAndWidenedOverSurrogatePairs) {
  const AttributedString s(kEmoji);
  EXPECT_EQ(s.length(), 4U);
  const struct {
    TextRange range;
    std::vector<TextRange> runs;  // plain, red, plain...
  } cases[] = {
      {{1, 2}, {{0, 1}, {1, 2}, {3, 1}}},  // the emoji exactly
      {{2, 1}, {{0, 1}, {1, 2}, {3, 1}}},  // its second unit: widened
      {{0, 2}, {{0, 3}, {3, 1}}},          // ends inside it: widened
      {{3, 99}, {{0, 3}, {3, 1}}},         // past the end: cut
      {{4, 1}, {{0, 4}}},                  // at the end: nothing
      {{1, SIZE_MAX}, {{0, 1}, {1, 3}}},   // no overflow
  };
  for (const auto& c : cases) {
    std::vector<TextRange> got;
    for (const auto& run : s.applying(kRed, c.range).runs()) got.push_back(run.range);
    EXPECT_EQ(got, c.runs) << c.range.location << "+" << c.range.length;
  }
  EXPECT_EQ(s.applying(kRed, {1, 2}).attributes(2), kRed);
  EXPECT_EQ(s.attributes(4), std::nullopt);
  EXPECT_EQ(AttributedString("a\xFF"
                             "b")
                .string(),
            "a\xEF\xBF\xBD"
            "b");
}

TEST(AttributedString, AppliesAttributesToMatchesLiteralOccurrencesAndNothingOnBadPatterns) {
  const AttributedString s("a.b [x] a\\Eb axb");
  const auto marked = [](const AttributedString& t) {
    std::vector<TextRange> red;
    for (const auto& run : t.runs()) {
      if (run.attributes == kRed) red.push_back(run.range);
    }
    return red;
  };
  EXPECT_EQ(marked(s.applyingToRangesMatching(kRed, "a.b")),
            (std::vector<TextRange>{{0, 3}, {13, 3}}));
  EXPECT_EQ(marked(s.applyingToOccurrencesOf(kRed, "a.b")), (std::vector<TextRange>{{0, 3}}));
  EXPECT_EQ(marked(s.applyingToOccurrencesOf(kRed, "[x]")), (std::vector<TextRange>{{4, 3}}));
  EXPECT_EQ(marked(s.applyingToOccurrencesOf(kRed, "a\\Eb")), (std::vector<TextRange>{{8, 4}}));
  EXPECT_EQ(s.applyingToRangesMatching(kRed, "(unclosed"), s);
  EXPECT_EQ(s.applyingToRangesMatching(kRed, "x*"), s.applyingToOccurrencesOf(kRed, "x"));
  // Ranges of matches after a two-unit character are in UTF-16 units.
  EXPECT_EQ(marked(AttributedString(kEmoji).applyingToRangesMatching(kRed, "b")),
            (std::vector<TextRange>{{3, 1}}));
}

TEST(AttributedString, StylesTheWholeTextAndLeavesTheOperandAlone) {
  const AttributedString plain("Hi");
  const AttributedString styled = plain.underlined().struckthrough().coloredWith(Color());
  EXPECT_EQ(plain.attributes(), TextAttributes{});
  EXPECT_EQ(styled.attributes(), (TextAttributes{.foregroundColor = Color(),
                                                 .underline = LineStyle::single,
                                                 .strikethrough = LineStyle::single}));
  EXPECT_EQ(styled.runs().size(), 1U);
  EXPECT_EQ(AttributedString().bolded(), AttributedString());
  EXPECT_EQ(AttributedString().attributes(), TextAttributes{});

  const Font system = AttributedString::systemFont();
  EXPECT_EQ(plain.bolded().attributes().font, (Font{system.family, system.pointSize, true}));
  const AttributedString big = plain.applying({.font = Font{"Serif", 30, false}}, {1, 1});
  EXPECT_EQ(big.bolded().attributes().font, (Font{system.family, system.pointSize, true}));
  EXPECT_EQ(big.applying({.font = Font{"Serif", 30, false}}).bolded().attributes().font,
            (Font{system.family, 30, true}));
}

TEST(AttributedString, ConcatenatesAndJoins) {
  const AttributedString a("ab", kRed);
  AttributedString s = a + "-" + AttributedString("cd", kBlue);
  s += a;
  s += a;  // neighbours with equal attributes become one run
  EXPECT_EQ(s.string(), "ab-cdabab");
  EXPECT_EQ(s.runs(),
            (std::vector<TextRun>{{{0, 2}, kRed}, {{2, 1}, {}}, {{3, 2}, kBlue}, {{5, 4}, kRed}}));
  EXPECT_EQ(joined({}, ", "), AttributedString());
  EXPECT_EQ(joined({a}, AttributedString(", ", kBlue)), a);
  EXPECT_EQ(joined({a, a, a}, AttributedString("+", kBlue)).runs().size(), 5U);
  EXPECT_EQ(joined({a, a}, "").runs().size(), 1U);
}

// The markup, read back by Pango: the same text, and each attribute where it
// was applied (Pango reports byte ranges); a NUL is left out.
TEST(AttributedString, PangoMarkupReadsBackToTheSameTextAndAttributes) {
  const std::string text = "<b>&\"'\x01 " + kEmoji + " é";
  const AttributedString s =
      AttributedString(text + std::string(1, '\0'))
          .applying({.font = Font{"Serif", 12.5, true}}, {0, 3})
          .applying({.foregroundColor = Color::fromHex(0x336699, 0.5),
                     .backgroundColor = Color::fromHex(0xFFEE00)},
                    {7, 3})
          .applying({.underline = LineStyle::doubleLine, .strikethrough = LineStyle::single},
                    {11, 99});
  PangoAttrList* attrs = nullptr;
  char* parsed = nullptr;
  GError* error = nullptr;
  const std::string markup = s.pangoMarkup();
  ASSERT_TRUE(pango_parse_markup(markup.c_str(), -1, 0, &attrs, &parsed, nullptr, &error))
      << (error ? error->message : "") << "\n"
      << markup;
  EXPECT_EQ(std::string(parsed), text);
  char* found = pango_attr_list_to_string(attrs);
  EXPECT_STREQ(found,
               "0 3 family \"Serif\"\n0 3 size 12800\n0 3 weight bold\n"
               "7 13 foreground #333366669999\n7 13 background #ffffeeee0000\n"
               "7 13 foreground-alpha 32768\n13 17 underline double\n13 17 strikethrough true")
      << markup;
  g_free(found);
  pango_attr_list_unref(attrs);
  g_free(parsed);
}

// The system font is shared: setting it while other threads bold text is
// safe (ThreadSanitizer reports the race when it is not guarded).
TEST(AttributedString, SystemFontMaySetWhileOthersBold) {
  const Font before = AttributedString::systemFont();
  test::runConcurrently(4, [](int t) {
    for (int i = 0; i < 100; ++i) {
      if (t == 0)
        AttributedString::setSystemFont(Font{"Font" + std::to_string(i), 10.0 + i, false});
      EXPECT_TRUE(AttributedString("x").bolded().attributes().font->bold);
    }
  });
  EXPECT_EQ(AttributedString::systemFont().family, "Font99");
  AttributedString::setSystemFont(before);
}

}  // namespace
}  // namespace mornik
