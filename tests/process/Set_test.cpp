#include "mornik/process/Set.hpp"

#include <gtest/gtest.h>

namespace mornik::Aux {
namespace {

TEST(AuxSet, ReadsBackByTypeOrKeyAndTakesResults) {
  const Set five(5);
  EXPECT_EQ(five.get<int>(), 5);
  EXPECT_EQ(five.get<std::string>(), std::nullopt);
  const Set both = five.with("n", 1).with("n", 2).with("text");
  EXPECT_EQ(both.get<int>("n"), 2);
  EXPECT_EQ(both.get<std::string>("n"), std::nullopt);
  EXPECT_EQ(both.get<int>("missing"), std::nullopt);
  EXPECT_EQ(both.get<std::string>(), "text");
  EXPECT_EQ(both.get<int>(), 5);
  EXPECT_EQ(five.size(), 1U);  // with() left it unchanged
  // with() a Result stores its value or passes its failure.
  EXPECT_EQ(Set().with(Result<int>(7)).value().get<int>(), 7);
  EXPECT_EQ(Set().with("k", Result<double>(0.5)).value().get<double>("k"), 0.5);
  Result<int> failed = WTF("no value", 0);
  EXPECT_EQ(Set().with(failed).error(), WTF("no value", 0));
  EXPECT_EQ(Set().with("k", failed).error(), WTF("no value", 0));
}

}  // namespace
}  // namespace mornik::Aux
