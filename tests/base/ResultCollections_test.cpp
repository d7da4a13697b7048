#include "mornik/base/ResultCollections.hpp"

#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace mornik {
namespace {

Result<int> nonNegative(int value) {
  if (value < 0) return WTF("negative: " + std::to_string(value), 1);
  return value;
}

// reduce and flatMap visit in order and stop at the first failure; the
// catching forms visit everything and key each failure by its element.
TEST(ResultCollections, WalksStopAtTheFirstFailureOrCollectEveryOne) {
  std::vector<std::string> visited;
  auto concat = [&](const std::string& acc, const std::string& s) -> Result<std::string> {
    visited.push_back(s);
    if (s == "stop") return WTF("stopped", 3);
    return acc + s;
  };
  EXPECT_EQ(reduce(std::vector<std::string>{"a", "b", "c"}, std::string(">"), concat).value(),
            ">abc");
  visited.clear();
  const auto stopped = reduce(std::vector<std::string>{"a", "stop", "c"}, std::string(), concat);
  EXPECT_EQ(stopped.error().localizedDescription(), "stopped");
  EXPECT_EQ(visited, (std::vector<std::string>{"a", "stop"}));
  EXPECT_EQ(reduce(std::vector<int>{}, 17, [](int a, int b) { return Result<int>(a + b); }).value(),
            17);
  int calls = 0;
  auto counted = [&](int v) {
    ++calls;
    return nonNegative(v);
  };
  EXPECT_EQ(flatMap(std::list<int>{3, 1, 2}, counted).value(), (std::vector<int>{3, 1, 2}));
  EXPECT_EQ(flatMap(std::vector<int>{1, -2, -3}, counted).error().localizedDescription(),
            "negative: -2");
  EXPECT_EQ(calls, 5);
  const auto sum = reduceCatch(std::vector<int>{1, -2, 3}, 0, [](int acc, int v) {
    return nonNegative(v).map([&](int ok) { return acc + ok; });
  });
  EXPECT_EQ(sum.results, 4);
  ASSERT_EQ(sum.errors.size(), 1U);
  EXPECT_EQ(sum.errors.at(-2).localizedDescription(), "negative: -2");
  const auto all = flatMapCatch(std::vector<int>{-1, 5, -3, 7}, nonNegative);
  EXPECT_EQ(all.results, (std::vector<int>{5, 7}));
  ASSERT_EQ(all.errors.size(), 2U);
  EXPECT_EQ(all.errors.at(-3).localizedDescription(), "negative: -3");
  // The vector pipe maps, flat-maps or concatenates.
  const std::vector<int> numbers{1, 2, 3};
  EXPECT_EQ(
      numbers | [](int v) { return v * 10; }, (std::vector<int>{10, 20, 30}));
  EXPECT_EQ((numbers | nonNegative).value(), numbers);
  EXPECT_EQ((std::vector<int>{1, -1} | nonNegative).error().code(), 1);
  EXPECT_EQ(
      numbers | [](int v) { return std::vector<int>(static_cast<std::size_t>(v), v); },
      (std::vector<int>{1, 2, 2, 3, 3, 3}));
}

class Lines : public ResultIterator<std::string> {
 public:
  Lines(std::vector<std::string> lines, int failAt) : lines_(std::move(lines)), failAt_(failAt) {}
  Result<std::optional<std::string>> next() override {
    ++calls;
    if (index_ == failAt_) return WTF("read error", 5);
    if (index_ >= static_cast<int>(lines_.size())) return std::optional<std::string>();
    return std::optional<std::string>(lines_[static_cast<std::size_t>(index_++)]);
  }
  int calls = 0;

 private:
  std::vector<std::string> lines_;
  int index_ = 0;
  int failAt_;
};

TEST(ResultIterator, AllCollectsUntilTheEndOrTheFirstFailure) {
  Lines complete({"a", "b"}, -1);
  EXPECT_EQ(complete.all().value(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(complete.calls, 3);
  Lines failing({"a", "b", "c"}, 1);
  EXPECT_EQ(failing.all().error().localizedDescription(), "read error");
  EXPECT_EQ(failing.calls, 2);
  Lines empty({}, -1);
  EXPECT_TRUE(empty.all().value().empty());
}

}  // namespace
}  // namespace mornik
