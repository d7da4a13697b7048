#include "mornik/text/StringUtils.hpp"

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

namespace mornik {
namespace {

using ::testing::ElementsAre;
using mornik::operator*;

// Text whose characters span several scalars each.
const std::string kWave = "\xF0\x9F\x91\x8B\xF0\x9F\x8F\xBD";  // waving hand + skin tone
const std::string kFamily =                                    // man ZWJ woman ZWJ girl ZWJ boy
    "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D\xF0\x9F"
    "\x91\xA6";
const std::string kGermany = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";     // regional indicators D E
const std::string kFrance = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";      // F R
const std::string kEAcute = "e\xCC\x81";                             // e + combining acute
const std::string kHangul = "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8";  // jamo G + A + G: one syllable
const std::string kGrin = "\xF0\x9F\x98\x80";                        // two UTF-16 units

TEST(StringCharacters, ClustersCountAsOneCharacter) {
  EXPECT_EQ(count("Hi " + kWave + "!"), 5U);
  EXPECT_EQ(count(kFamily), 1U);
  EXPECT_EQ(count(kGermany + kFrance), 2U);
  EXPECT_EQ(count(kGermany + "\xF0\x9F\x87\xA9"), 2U);  // a lone indicator after a pair
  EXPECT_EQ(count(kEAcute + kEAcute), 2U);
  EXPECT_EQ(count(kHangul), 1U);
  EXPECT_EQ(count("\r\r\n\n"), 3U);
  EXPECT_THAT(asCharArr("a" + kGermany + kEAcute + "\r\n" + kFamily),
              ElementsAre("a", kGermany, kEAcute, "\r\n", kFamily));

  // The ASCII fast path must not split "e" from the mark that follows it.
  const std::string text = "abc" + kEAcute + "d";
  EXPECT_EQ(count(text), 5U);
  EXPECT_EQ(at(text, 3), kEAcute);
  EXPECT_EQ(substringTo(text, 4), "abc" + kEAcute);
}

TEST(StringIndexing, SubscriptsAndUtf16RangesClampOrGiveNothing) {
  const std::string hello = "hello";
  EXPECT_EQ(at(hello, IndexRange{2, 100}), "llo");
  EXPECT_EQ(at(hello, IndexRange{-3, 2}), "he");
  EXPECT_EQ(at(hello, IndexRange{4, 2}), "");
  EXPECT_EQ(at(hello, 1), "e");
  EXPECT_EQ(at(hello, 5), "");
  const std::string mixed = "Hi " + kWave + "!" + kFamily;
  EXPECT_EQ(at(mixed, 3), kWave);
  EXPECT_EQ(at(mixed, 5), kFamily);
  EXPECT_EQ(at(mixed, IndexRange{2, 5}), " " + kWave + "!");

  const std::string text = kGrin + "bc";
  EXPECT_EQ(at(text, Utf16Range{2, 1}), "b");
  EXPECT_EQ(at(text, Utf16Range{0, 2}), kGrin);
  EXPECT_EQ(at(text, Utf16Range{1, 1}), std::nullopt);  // inside the surrogate pair
  EXPECT_EQ(at(text, Utf16Range{3, 2}), std::nullopt);  // past the end
  EXPECT_EQ(at(text, Utf16Range{-1, 1}), std::nullopt);
}

TEST(StringIndexing, SettersReplaceWholeCharactersAndSafeSlicesClamp) {
  std::string text = "a" + kWave + "c";
  setAt(text, 1, "b");
  EXPECT_EQ(text, "abc");
  text = "ab" + kGermany;
  setAt(text, IndexRange{0, 2}, "xy");
  EXPECT_EQ(text, "xy" + kGermany);
  setAt(text, IndexRange{2, 50}, "!");
  EXPECT_EQ(text, "xy!");

  const std::string hello = "hello";
  EXPECT_EQ(safe(hello, IndexRange{-2, 3}), "hel");
  EXPECT_EQ(safe(hello, IndexRange{3, 99}), "lo");
  EXPECT_EQ(safe(hello, ClosedIndexRange{1, 1}), "e");
  EXPECT_EQ(unsafe(hello, IndexRange{1, 4}), "ell");
  EXPECT_EQ(unsafe("x" + kWave, ClosedIndexRange{1, 1}), kWave);
  EXPECT_EQ(charAt(hello, 4), "o");
  EXPECT_EQ(charAt(hello, 5), std::nullopt);
}

TEST(StringIndexingDeathTest, PreconditionsAreCheckedInDebugBuilds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string text = "abc";
  EXPECT_DEBUG_DEATH(setAt(text, 3, "x"), "setAt");
  EXPECT_DEBUG_DEATH((void)unsafe(text, IndexRange{1, 9}), "unsafe");
  EXPECT_DEBUG_DEATH((void)charAt(text, -1), "charAt");
}

TEST(StringIndexing, SubstringsCountCharacters) {
  EXPECT_EQ(substringFrom("hello", 2), "llo");
  EXPECT_EQ(substringTo("hello", 3), "hel");
  EXPECT_EQ(first(kWave + kWave + "x", 2), kWave + kWave);
  EXPECT_EQ(getSubstring("hello", 1, 3), "ell");
  EXPECT_EQ(getSubstring("hello", 5, 1), std::nullopt);
  EXPECT_EQ(getSubstring("hello", -1, 3), "he");
  EXPECT_EQ(getSubstring("hello", 2, -1), "");
  EXPECT_EQ(getSubstring(kGrin + "abc", Utf16Range{2, 2}), "ab");
  EXPECT_EQ(getSubstring(kGrin + "abc", Utf16Range{5, 1}), std::nullopt);
  EXPECT_EQ(dropFirstCustom("abc", 5), "\n");
  EXPECT_EQ(dropFirstCustom(kFamily + "x", 1), "x");
}

TEST(StringSearch, MatchesMustCoverWholeCharactersUnlessLiteral) {
  EXPECT_FALSE(contains(kEAcute, "e"));
  EXPECT_TRUE(contains(kEAcute, "e", CompareOptions::literal));
  EXPECT_FALSE(contains(kGermany + kFrance, "\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB"));  // E F straddles
  EXPECT_FALSE(contains("a\r\nb", "\n"));
  EXPECT_FALSE(startsWith(kEAcute, "e"));
  EXPECT_TRUE(startsWith(kEAcute + "x", kEAcute));
  EXPECT_FALSE(endsWith(kFamily, "\xF0\x9F\x91\xA6"));  // the boy inside the family
  EXPECT_TRUE(endsWith("x" + kFamily, kFamily));
}

TEST(StringSearch, OptionsSelectTheOccurrence) {
  const std::string text = "Hello hello";
  EXPECT_EQ(index(text, "hello"), 6U);
  EXPECT_EQ(index(text, "HELLO", CompareOptions::caseInsensitive), 0U);
  EXPECT_EQ(index(text, "l", CompareOptions::backwards), 9U);
  EXPECT_EQ(index(text, "ello", CompareOptions::anchored), std::nullopt);
  EXPECT_EQ(index(text, "llo", CompareOptions::anchored | CompareOptions::backwards), 8U);
  EXPECT_EQ(index(text, "h.l+o", CompareOptions::regularExpression), 6U);
  EXPECT_EQ(
      index(text, "h.l+o", CompareOptions::regularExpression | CompareOptions::caseInsensitive),
      0U);
  EXPECT_EQ(index(text, "(", CompareOptions::regularExpression), std::nullopt);
  EXPECT_EQ(index("Grüße", "GRÜSSE", CompareOptions::caseInsensitive), 0U);
}

TEST(StringSearch, EveryOccurrenceWithoutOverlap) {
  EXPECT_THAT(indices("abab", "ab"), ElementsAre(0U, 2U));
  EXPECT_THAT(ranges("aaaa", "aa"), ElementsAre(StringRange{0, 2}, StringRange{2, 4}));
  EXPECT_THAT(ranges("a1b22", "[0-9]+", CompareOptions::regularExpression),
              ElementsAre(StringRange{1, 2}, StringRange{3, 5}));
  EXPECT_THAT(indices("xAxa", "a", CompareOptions::caseInsensitive), ElementsAre(1U, 3U));
}

TEST(StringSearch, ListTestsAndTextAroundMarkers) {
  const std::vector<std::string> none;
  EXPECT_TRUE(containsAllOf("abc", none));
  EXPECT_FALSE(containsOneOf("abc", none));
  EXPECT_TRUE(containsOneOf("abc", {"x", "bc"}));
  EXPECT_FALSE(containsAllOf("abc", {"a", "x"}));
  EXPECT_TRUE(hasPrefix("report.pdf", {"draft", "rep"}));
  EXPECT_TRUE(hasSuffix("report.pdf", {".doc", ".pdf"}));
  EXPECT_TRUE(equalToOneOf("b", {"a", "b"}));

  EXPECT_EQ(stringBefore("key=value=x", "="), "key");
  EXPECT_EQ(stringAfter("key=value=x", "="), "value=x");
  EXPECT_EQ(substringFromToFirst("abc", "x", "y"), "");
  EXPECT_EQ(substringFromToFirst("axbc", "x", "y"), std::nullopt);
  EXPECT_EQ(substringFromToFirst("axbyc", "x", "y"), "xb");
  EXPECT_EQ(substringToFirst("a/b/c", "/"), "a");
  EXPECT_EQ(substringToFirst("a/b/c", "/", true), "a/");
  EXPECT_EQ(substringBetween("f(<a>)<b>", "<", ">"), "a");
  EXPECT_EQ(substringBetween("f(<a", "<", ">"), std::nullopt);
}

TEST(StringCompare, NumericAndCaseInsensitive) {
  EXPECT_EQ(compare("a10", "a9"), -1);
  EXPECT_EQ(compare("a10", "a9", CompareOptions::numeric), 1);
  EXPECT_EQ(compare("a007", "a7", CompareOptions::numeric), 0);
  EXPECT_EQ(compare("ABC", "abc"), -1);
  EXPECT_EQ(compare("ABC", "abc", CompareOptions::caseInsensitive), 0);
}

TEST(StringVersions, DottedVersionsCompareComponentwise) {
  EXPECT_TRUE(isVersionEqualTo("2", "2.0"));
  EXPECT_TRUE(isVersionGreaterThan("1.10", "1.9"));
  EXPECT_TRUE(isVersionLessThan("1.2", "1.2.1"));
  EXPECT_TRUE(isVersionGreaterThan("10.0", "9.9.9"));
  EXPECT_TRUE(isVersionGreaterThanOrEqualTo("1.0.0", "1"));
  EXPECT_FALSE(isVersionLessThan("1.0.0", "1"));
  EXPECT_TRUE(isVersionGreaterThan("2.0.1-beta", "2.0.0"));
}

TEST(StringReplace, RegularExpressionLiteralAndListReplacement) {
  EXPECT_EQ(replace("a.b.c", "\\.", "-"), "a-b-c");
  EXPECT_EQ(replace("a.b.c", ".", "-"), "-----");
  EXPECT_EQ(replace("cost: $5", "\\$(\\d)", "USD $1"), "cost: USD 5");
  EXPECT_EQ(replace("2024-03-15", "(\\d+)-(\\d+)-(\\d+)", "$3/$2/$1"), "15/03/2024");
  EXPECT_EQ(replace("ab", "(?<first>a)", "[${first}]"), "[a]b");
  EXPECT_EQ(replace("ab", "a", "\\$1"), "$1b");
  EXPECT_EQ(replace("ab", "a", "$9"), "b");    // no such group: nothing
  EXPECT_EQ(replace("abc", "(", "x"), "abc");  // does not compile: unchanged
  EXPECT_EQ(replace(kWave + "x" + kWave, "x", "y"), kWave + "y" + kWave);

  EXPECT_EQ(replacing("a.b.c", ".", "-"), "a-b-c");
  EXPECT_EQ(replacing("a(b)", "(", "["), "a[b)");
  EXPECT_EQ(replacing("aaa", "", "x"), "aaa");
  EXPECT_EQ(replacingAllOf("a-b_c", {"-", "_"}, " "), "a b c");
  EXPECT_EQ(replacingAllOf("ab", {"a", "Xb"}, "X"), "X");  // in list order, on the result
  EXPECT_EQ(replacingOccurrences("Aa", "a", "x", CompareOptions::caseInsensitive), "xx");
  EXPECT_EQ(replacingAllSymbolsIn("a" + kGermany + "b" + kFrance, kGermany + "x", "?"),
            "a?b" + kFrance);
  EXPECT_EQ(filterContains("a1b2" + kEAcute, CharacterSet::decimalDigits()), "12");
  EXPECT_EQ(filterNotContains("a1 b2", CharacterSet::decimalDigits()), "a b");
}

TEST(StringTransform, CaseRepeatPadAndRemovePostfix) {
  EXPECT_EQ(capitalizingFirstLetter("\xC3\xA9lan vital"), "\xC3\x89lan vital");
  EXPECT_EQ(capitalizingFirstLetter(std::string("\xC3\x9F") + "a"), "SSa");  // sharp s
  EXPECT_EQ(capitalizingFirstLetter("hELLO"), "HELLO");
  EXPECT_EQ(capitalizingFirstLetterOnly("hELLO wORLD"), "Hello world");
  EXPECT_EQ(capitalizingFirstLetterOnly(kEAcute + "A"), "E\xCC\x81" + std::string("a"));
  EXPECT_EQ(uppercased(std::string("stra\xC3\x9F") + "e"), "STRASSE");
  EXPECT_EQ(lowercased("\xCE\x91\xCE\x92"), "\xCE\xB1\xCE\xB2");

  EXPECT_EQ(std::string_view("ab") * 3, "ababab");
  EXPECT_EQ(force("hello", 3), "hello");
  EXPECT_EQ(force("ab", 3), "ab ");
  EXPECT_EQ(force(kWave, 3), kWave + "  ");
  EXPECT_EQ(removePostfix("file.txt", ".txt"), "file");
  EXPECT_EQ(removePostfix(kEAcute, "\xCC\x81"), kEAcute);  // not a whole character
}

TEST(StringTransform, TrimmingByCharactersUnicodeWhitespaceIncluded) {
  EXPECT_EQ(trim(" \t hi there\n\xE3\x80\x80", whitespaceChars()), "hi there");
  EXPECT_EQ(trimStart("xxhixx", "x"), "hixx");
  EXPECT_EQ(trimEnd("xxhixx", "x"), "xxhi");
  EXPECT_EQ(trim("xxhixx", "x"), "hi");
  EXPECT_EQ(trim("-=a=-", {"-", "="}), "a");
  // CR LF is one character, which the scalar list does not hold.
  EXPECT_EQ(trimEnd("a\r\n", whitespaceChars()), "a\r\n");
  EXPECT_EQ(trimEnd("a\r\n", {"\r\n"}), "a");
  // A trailing "e" with an accent is not an "e".
  EXPECT_EQ(trimEnd("x" + kEAcute, "e"), "x" + kEAcute);

  const auto& chars = whitespaceChars();
  EXPECT_EQ(chars.size(), 25U);
  for (const char* expected : {" ", "\t", "\n", "\r", "\xC2\x85", "\xC2\xA0", "\xE3\x80\x80",
                               "\xE2\x80\xA8", "\xE2\x80\x89"}) {
    EXPECT_TRUE(equalToOneOf(expected, chars)) << quoted(expected);
  }
  EXPECT_FALSE(equalToOneOf("\xE2\x80\x8B", chars));  // zero-width space is not whitespace
}

TEST(StringTransform, ConversionsDataAndTruncation) {
  EXPECT_EQ(asString(static_cast<const char*>(nullptr)), "");
  EXPECT_EQ(asStr(42), "42");
  EXPECT_EQ(asStr(std::optional<int>()), "nil");
  EXPECT_THAT(asData("h\xC3\xA9").value(), ElementsAre(0x68, 0xC3, 0xA9));
  const auto invalid = asData("a\xFF");
  EXPECT_EQ(invalid.error().domain(), "FTW");
  EXPECT_EQ(invalid.error().code(), 0);
  EXPECT_EQ(invalid.error().localizedDescription(), "can't convert string to data: a\xFF");

  const std::string ellipsis = "\xE2\x80\xA6";
  EXPECT_EQ(truncEnd("abcdefghij", 3, ellipsis), "abc" + ellipsis);
  EXPECT_EQ(truncStart("abcdefghij", 3, ellipsis), ellipsis + "hij");
  EXPECT_EQ(truncCenter("abcdefghij", 5, ellipsis), "ab" + ellipsis + "ij");
  EXPECT_EQ(truncCenter("abcdefghij", 6, ".."), "abc..hij");
  EXPECT_EQ(truncEnd("abc", 3, ellipsis), "abc");
  EXPECT_EQ(truncCenter("abc", 3, ellipsis), "abc");
  EXPECT_EQ(truncEnd(kWave + kWave + kWave, 2), kWave + kWave + ellipsis);
  EXPECT_EQ(truncStart(kFamily + "ab", 1, "<"), "<b");
}

TEST(StringPaths, PlainStringPathsAndTheHomeFromTheUserDatabase) {
  EXPECT_EQ(skippingLastSlash("/a/b/"), "/a/b");
  EXPECT_EQ(lastPathComonent("/usr/local/bin/"), "bin");
  EXPECT_EQ(lastPathComonent("//"), "");
  EXPECT_EQ(getExceptLastPathComponent("/usr/local/bin"), "usr/local");
  EXPECT_EQ(getExceptLastPathComponent("bin"), "");
  EXPECT_EQ(deletingLastPathComponent("/usr/bin"), "/usr");
  EXPECT_EQ(deletingLastPathComponent("file"), std::nullopt);
  EXPECT_EQ(removeFileExtension("archive.tar.gz"), "archive.tar");
  EXPECT_EQ(removeFileExtension(".profile"), ".profile");
  EXPECT_EQ(removeFileExtension("/home/me/.bashrc"), "/home/me/.bashrc");
  EXPECT_EQ(removeFileExtension("dir/.cfg.bak"), "dir/.cfg");
  EXPECT_EQ(removeFileExtension("a.b/c"), "a");

  const passwd* record = getpwuid(getuid());
  ASSERT_NE(record, nullptr);
  const std::string home = record->pw_dir;
  EXPECT_EQ(homeDirectory(), home);
  for (const auto& [path, expanded] :
       std::vector<std::pair<std::string, std::string>>{{"~/docs", home + "/docs"},
                                                        {"~", home},
                                                        {"~user/docs", "~user/docs"},
                                                        {"/a/~/b", "/a/~/b"},
                                                        {"a~", "a~"}}) {
    EXPECT_EQ(pathExpandingHomeWithTilde(path), expanded) << path;
  }
  EXPECT_EQ(abbreviatingHomeWithTilde(home + "/docs"), "~/docs");
}

TEST(StringSplit, SplitsAndIllFormedSequencesOneCharacterEach) {
  EXPECT_THAT(splitByCharsIn("a,b;;c", ",;"), ElementsAre("a", "b", "", "c"));
  EXPECT_THAT(splitByCharsIn("a\r\nb", "\r\n"), ElementsAre("a", "", "b"));
  EXPECT_THAT(splitByCharsIn("", ","), ElementsAre(""));
  EXPECT_THAT(splitBySeparators("a-b_c-d", {"-", "_"}), ElementsAre("a", "b", "c", "d"));
  EXPECT_THAT(splitBySeparators("a--b", {"--", "-"}), ElementsAre("a", "b"));
  EXPECT_THAT(components("a, b, ", ", "), ElementsAre("a", "b", ""));

  const std::string b = "b";
  EXPECT_EQ(count("a\xFF\xFE" + b), 4U);
  EXPECT_EQ(count("\xE2\x82"), 1U);              // a truncated sequence
  EXPECT_EQ(count("\xE2\x82\xCC\x81" + b), 2U);  // a combining mark attaches to it
  EXPECT_EQ(count("\x80\x80"), 2U);              // stray continuation bytes
  EXPECT_EQ(at("a\xFF" + b, 1), "\xFF");
  EXPECT_THAT(asCharArr(std::string("\xC3") + "a"), ElementsAre("\xC3", "a"));
  EXPECT_EQ(indexInt("\xFF" + b, "b"), 1);
  EXPECT_EQ(indexInt(kGrin + kFamily + b, "b"), 13);  // UTF-16 units
  for (const char* none : {"z", ""}) EXPECT_EQ(indexInt("abc", none), std::nullopt) << none;
  EXPECT_EQ(uppercased("ab\xFF"), "AB\xFF");
  EXPECT_TRUE(contains("x\xFFy", "y"));
  EXPECT_EQ(replacing("\xFF-\xFF", "-", "+"), "\xFF+\xFF");
}

// Positions and lengths at the extremes of their type clamp like any other
// out-of-range value instead of overflowing (the fuzz target Graphemes tries
// arbitrary bytes and integers).
TEST(StringIndexing, ExtremeIntegersClamp) {
  constexpr auto kMax = std::numeric_limits<std::ptrdiff_t>::max();
  constexpr auto kMin = std::numeric_limits<std::ptrdiff_t>::min();
  const std::string s = "hello";
  const auto owned = [](std::optional<std::string_view> slice) {
    return slice ? std::optional<std::string>(*slice) : std::nullopt;
  };
  const std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> cases{
      {at(s, kMax), ""},
      {at(s, kMin), ""},
      {at(s, IndexRange{kMin, kMax}), "hello"},
      {std::string(safe(s, ClosedIndexRange{0, kMax})), "hello"},
      {std::string(safe(s, ClosedIndexRange{kMin, kMax})), "hello"},
      {std::string(safe(s, IndexRange{3, kMax})), "lo"},
      {at(s, Utf16Range{2, kMax - 1}), std::nullopt},
      {at(s, Utf16Range{kMax, kMax}), std::nullopt},
      {owned(getSubstring(s, 1, kMax)), "ello"},
      {owned(getSubstring(s, kMax, kMax)), std::nullopt},
      {owned(getSubstring(s, kMin, kMax)), ""},  // it ends at -1
      {owned(getSubstring(s, Utf16Range{1, kMax})), "ello"},
      {owned(getSubstring(s, Utf16Range{kMin, kMax})), ""},
      {substringFrom(s, kMax), ""},
      {substringTo(s, kMax), "hello"},
      {dropFirstCustom(s, kMax), "\n"},
      {truncCenter(s, kMax, "~"), "hello"},
      {force(s, kMax), "hello"},
      {s * kMax, ""},
      {s * kMin, ""},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(cases[i].first, cases[i].second) << i;
  EXPECT_EQ(forceR(s, kMax).error().localizedDescription(),
            "can't pad string to " + std::to_string(kMax) + " characters");
}

}  // namespace
}  // namespace mornik
