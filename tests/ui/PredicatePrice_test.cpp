#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "mornik/ui/Predicate.hpp"
#include "mornik/ui/Price.hpp"

#include "tests/support/Concurrently.hpp"

namespace mornik {
namespace {

TEST(Predicate, ComposesEvaluatesAndPrints) {
  const Predicate<int> big("SELF > 10", [](int v) { return v > 10; });
  const Predicate<int> even("SELF % 2 == 0", [](int v) { return v % 2 == 0; });
  const struct {
    Predicate<int> p;
    const char* text;
    bool at12, at13, at4, at5;
  } cases[] = {
      {!big, "NOT SELF > 10", false, false, true, true},
      {big.negated(), "NOT SELF > 10", false, false, true, true},
      {big + even, "SELF > 10 AND SELF % 2 == 0", true, false, false, false},
      {big | even, "SELF > 10 OR SELF % 2 == 0", true, true, true, false},
      {big - even, "SELF > 10 AND NOT SELF % 2 == 0", false, true, false, false},
      {!(big | even) + Predicate<int>::constant(true),
       "NOT (SELF > 10 OR SELF % 2 == 0) AND TRUEPREDICATE", false, false, false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.p.description(), c.text);
    EXPECT_EQ((std::vector<bool>{c.p(12), c.p(13), c.p(4), c.p(5)}),
              (std::vector<bool>{c.at12, c.at13, c.at4, c.at5}))
        << c.text;
  }
}

TEST(Price, FormatsTheExactDecimalInTheProductsLocale) {
  EXPECT_EQ(Decimal::parse("+007.10")->text(), "7.10");
  for (const char* bad : {"", "-", ".", "1e3", "1,5", " 1", "1.2.3", "0x10"}) {
    EXPECT_EQ(Decimal::parse(bad), std::nullopt) << bad;
  }
  const struct {
    const char* price;
    const char* locale;
    std::optional<std::string> text;
  } cases[] = {
      {"1234.5", "en_US", "$1,234.50"},
      {"1234.5", "de_DE", "1.234,50\u00A0\u20AC"},
      {"0.1", "ja_JP", "\uFFE50"},
      {"12345678901234567.01", "en_US@currency=EUR", "\u20AC12,345,678,901,234,567.01"},
      {"5", "en_AQ", std::nullopt},
      {"5", "", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(localizedPrice({"item", *Decimal::parse(c.price), c.locale}), c.text) << c.locale;
  }
}

// One predicate evaluated, and prices formatted, on several threads at once.
TEST(PredicatePrice, MayBeUsedFromManyThreadsAtOnce) {
  const Predicate<int> odd = !Predicate<int>("SELF % 2 == 0", [](int v) { return v % 2 == 0; });
  const StoreProduct product{"item", *Decimal::parse("9.99"), "en_US"};
  test::runConcurrently(4, [&](int t) {
    for (int i = 0; i < 50; ++i) {
      EXPECT_EQ(odd(t + i), (t + i) % 2 == 1);
      EXPECT_EQ(localizedPrice(product), "$9.99");
    }
  });
}

}  // namespace
}  // namespace mornik
