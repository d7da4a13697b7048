#include "mornik/text/Regex.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mornik {
namespace {

using ::testing::ElementsAre;

TEST(Regex, CompiledExpressionsReportMatchesAndGroupsAsByteRanges) {
  const auto compiled = Regex::make("(\\w+)@(\\w+)(!)?");
  ASSERT_TRUE(compiled.isSuccess());
  const Regex& re = compiled.value();
  EXPECT_EQ(re.numberOfCaptureGroups(), 3U);
  const std::string text = "\xF0\x9F\x98\x80 me@home, you@work!";
  const auto matches = re.matches(text);
  ASSERT_EQ(matches.size(), 2U);
  EXPECT_EQ(matches[0].range, (StringRange{5, 12}));
  EXPECT_EQ(matches[0].text(text), "me@home");
  EXPECT_EQ(matches[0].group(text, 2), "home");
  EXPECT_EQ(matches[0].group(text, 3), std::nullopt);  // took no part
  EXPECT_EQ(matches[1].group(text, 3), "!");
  EXPECT_EQ(re.firstMatch("nothing"), std::nullopt);
  EXPECT_TRUE(re.matchesWhole("a@b"));
  EXPECT_FALSE(re.matchesWhole("a@b c"));
  EXPECT_EQ(re.replacingMatches(text, "<$2>"), "\xF0\x9F\x98\x80 <home>, <work>");
}

TEST(Regex, OptionsAndInvalidPatterns) {
  const auto count = [](std::string_view pattern, RegexOptions options, std::string_view text) {
    return Regex::make(pattern, options).value().matches(text).size();
  };
  EXPECT_EQ(count("abc", RegexOptions::caseInsensitive, "ABC abc"), 2U);
  EXPECT_EQ(count("a.c", RegexOptions::ignoreMetacharacters, "abc a.c"), 1U);
  EXPECT_EQ(count("^x", RegexOptions::anchorsMatchLines, "x\nx"), 2U);
  const auto broken = Regex::make("(a");
  EXPECT_EQ(broken.error().domain(), "FTW");
  EXPECT_EQ(broken.error().localizedDescription(),
            "invalid regular expression: (a (U_REGEX_MISMATCHED_PAREN)");
}

TEST(RegexOnStrings, MatchTextsInOrder) {
  EXPECT_THAT(regex("a1b22c333", "[0-9]+"), ElementsAre("1", "22", "333"));
  EXPECT_TRUE(regex("abc", "(").empty());
  EXPECT_THAT(arrayOfMatchesFor("x=1, y=2", "\\w=\\d"), ElementsAre("x=1", "y=2"));
  EXPECT_THAT(regex("\xFF"
                    "ab\xFE"
                    "cd",
                    "[a-z]+"),
              ElementsAre("ab", "cd"));
  EXPECT_THAT(regex("caf\xC3\xA9 na\xC3\xAFve", "\\p{L}+"),
              ElementsAre("caf\xC3\xA9", "na\xC3\xAFve"));
}

TEST(RegexOnStrings, WholeMatchesAndExtraction) {
  EXPECT_TRUE(isMatchToRegex("abc", "[a-c]+"));
  EXPECT_FALSE(isMatchToRegex("abc", "a|abc"));  // the first match is "a"
  EXPECT_FALSE(isMatchToRegex("abc", "["));

  EXPECT_EQ(extractRegExp("id: 42, 43", "\\d+"), "42");
  EXPECT_EQ(extractRegExp("id", "\\d+"), std::nullopt);
  EXPECT_EQ(extract("v=12;", "[0-9]+").value(), "12");
  const auto missing = extract("none", "x+");
  EXPECT_EQ(missing.error().code(), 0);
  EXPECT_EQ(missing.error().localizedDescription(), "can't find first match for RegExt: x+");
  EXPECT_THAT(extractAll("a1b2", "\\d").value(), ElementsAre("1", "2"));
  EXPECT_THAT(extractAll("ab", "a{2,1}").error().localizedDescription(),
              ::testing::StartsWith("invalid regular expression: a{2,1} ("));
}

TEST(RegexOnStrings, EmailAddresses) {
  EXPECT_TRUE(isEmail("john.doe@example.com"));
  EXPECT_TRUE(isEmail("a_b+c@d-e.org"));
  EXPECT_FALSE(isEmail("a@b.c"));  // top-level domain of 2 to 8 letters
  EXPECT_FALSE(isEmail("-a@b.com"));
  EXPECT_FALSE(isEmail("john@example.com trailing"));
  EXPECT_FALSE(isEmail(""));
}

// A backtracking pattern that runs over the time limit on this text (about
// four times the work the limit allows; without a limit it ends, after
// seconds, with no match).
const std::string kSlowText(23, 'a');
constexpr std::string_view kSlowPattern = "(a+)+b";
const std::string kOverLimit = "regular expression ran over its limit: (a+)+b (U_REGEX_TIME_OUT)";

TEST(RegexLimits, EveryCheckedEntryPointFailsWhenTheTimeLimitStopsIt) {
  const Regex re = Regex::make(kSlowPattern).value();
  const auto regexOption = CompareOptions::regularExpression;
  const std::vector<std::pair<const char*, std::optional<Error>>> cases{
      {"matchesR", re.matchesR(kSlowText).maybeFailure()},
      {"firstMatchR", re.firstMatchR(kSlowText).maybeFailure()},
      {"matchesWholeR", re.matchesWholeR(kSlowText).maybeFailure()},
      {"replacingMatchesR", re.replacingMatchesR(kSlowText, "x").maybeFailure()},
      {"regexR", regexR(kSlowText, kSlowPattern).maybeFailure()},
      {"isMatchToRegexR", isMatchToRegexR(kSlowText, kSlowPattern).maybeFailure()},
      {"extract", extract(kSlowText, kSlowPattern).maybeFailure()},
      {"extractAll", extractAll(kSlowText, kSlowPattern).maybeFailure()},
      {"replaceR", replaceR(kSlowText, kSlowPattern, "x").maybeFailure()},
      {"rangeR", rangeR(kSlowText, kSlowPattern, regexOption).maybeFailure()},
      {"rangesR", rangesR(kSlowText, kSlowPattern, regexOption).maybeFailure()},
  };
  for (const auto& [name, failure] : cases) {
    ASSERT_TRUE(failure.has_value()) << name;
    EXPECT_EQ(failure->localizedDescription(), kOverLimit) << name;
    EXPECT_EQ(failure->code(), 0) << name;
  }
}

TEST(RegexLimits, PlainEntryPointsAnswerAsIfNothingMatchedAndStackOverflowFails) {
  EXPECT_EQ(regexR(std::string(400000, 'a'), "(a|b)*c").error().localizedDescription(),
            "regular expression ran over its limit: (a|b)*c (U_REGEX_STACK_OVERFLOW)");

  const Regex re = Regex::make(kSlowPattern).value();
  const auto regexOption = CompareOptions::regularExpression;
  EXPECT_TRUE(re.matches(kSlowText).empty());
  EXPECT_FALSE(re.matchesWhole(kSlowText));
  EXPECT_EQ(replace(kSlowText, kSlowPattern, "x"), kSlowText);
  EXPECT_EQ(index(kSlowText, kSlowPattern, regexOption), std::nullopt);
  EXPECT_TRUE(indices(kSlowText, kSlowPattern, regexOption).empty());
  EXPECT_EQ(extractRegExp(kSlowText, kSlowPattern), std::nullopt);
  // A long text that a simple pattern scans once stays far inside its budget.
  std::string words;
  for (int i = 0; i < 20000; ++i) words += "word" + std::to_string(i) + " ";
  EXPECT_EQ(regexR(words, "\\w+").value().size(), 20000U);
  EXPECT_EQ(replaceR("ab", "(", "x").error().localizedDescription(),
            "invalid regular expression: ( (U_REGEX_MISMATCHED_PAREN)");
}

TEST(RegexOnStrings, ThePatternCacheSurvivesEviction) {
  // More distinct patterns than the per-thread cache holds, then the first
  // ones again.
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 100; ++i) {
      const std::string pattern = "x" + std::to_string(i) + "y";
      ASSERT_EQ(extractRegExp("a" + pattern + "b", pattern), pattern);
    }
  }
}

}  // namespace
}  // namespace mornik
