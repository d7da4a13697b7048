#include "mornik/concurrency/LockedVar.hpp"

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/Concurrently.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

struct Point {
  int x = 0;
  int y = 0;
};

TEST(LockedVar, ReadsWritesCopiesAndAThrowingBlock) {
  LockedVar<int> counter(5);
  EXPECT_EQ(*counter, 5);
  EXPECT_EQ(counter.access([](int& n) { return ++n; }), 6);
  counter *= 10;
  EXPECT_EQ(counter.read([](int n) { return n * 2; }), 20);
  int target = 0;
  target *= counter;
  EXPECT_EQ(target, 10);
  LockedVar<Point> point(Point{3, 4});
  point.access([](Point& p) { p.x = 7; });
  EXPECT_EQ(point.read(&Point::x) * point.read(&Point::y), 28);
  // Copies copy the value.
  LockedVar<std::string> original(std::string("a"));
  LockedVar<std::string> copy = original;
  copy.set("b");
  EXPECT_EQ(original.read() + copy.read(), "ab");
  // A throwing block passes its exception on unchanged and leaves the lock
  // released (the next read would deadlock otherwise).
  LockedVar<std::vector<int>> values(std::vector<int>{1});
  EXPECT_THROW(values.access([](std::vector<int>& v) {
    v.push_back(2);
    throw std::invalid_argument("bad value");
  }),
               std::invalid_argument);
  EXPECT_EQ(values.read().size(), 2U);
}

// Touching the value again inside its own block (or a copy's, which shares
// the lock) takes the lock twice on one thread.
TEST(LockedVarDeathTest, TakingTheLockAgainInsideABlockAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        LockedVar<int> original(1);
        LockedVar<int> copy = original;
        original.access([&](int&) { (void)copy.read(); });
      },
      "taken twice on one thread");
  EXPECT_DEATH(
      {
        LockedVar<int> value(1);
        value.access([&](int&) { value.set(2); });
      },
      "taken twice on one thread");
}

TEST(LockedVarDictionary, SubscriptModifyAndItem) {
  LockedVar<std::map<std::string, int>> dictionary;
  EXPECT_EQ(dictionary["a"].get(), std::nullopt);
  dictionary["a"] = 1;
  dictionary["b"] = 2;
  std::optional<int> a = dictionary["a"];
  EXPECT_EQ(a, 1);
  dictionary["a"] = std::nullopt;
  EXPECT_FALSE(dictionary.contains("a"));
  const auto& constView = dictionary;
  EXPECT_EQ(constView["b"], 2);
  // modify is a read then a write; none removes the key.
  dictionary["n"].modify([](std::optional<int>& n) { n = n.value_or(0) + 5; });
  dictionary["n"].modify([](std::optional<int>& n) { *n += 1; });
  EXPECT_EQ(dictionary.get("n"), 6);
  dictionary["n"].modify([](std::optional<int>& n) { n.reset(); });
  EXPECT_FALSE(dictionary.contains("n"));
  // item and factory call the block only for an absent key.
  LockedVar<std::unordered_map<int, std::string>> cache;
  int calls = 0;
  auto make = [&](int key) {
    ++calls;
    return "value " + std::to_string(key);
  };
  EXPECT_EQ(cache.item(7, make), "value 7");
  EXPECT_EQ(cache.item(7, make) + cache.factory(7, make), "value 7value 7");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(cache.factory(8, make), "value 8");
  EXPECT_EQ(calls, 2);
}

TEST(LockedVarArray, OutOfRangeReadsYieldNoneAndWritesChangeNothing) {
  LockedVar<std::vector<int>> array(std::vector<int>{10, 20, 30});
  EXPECT_EQ(array[-1].get(), std::nullopt);
  EXPECT_EQ(array[3].get(), std::nullopt);
  EXPECT_EQ(array[1].get(), 20);
  array[-1] = 99;
  array[3] = 99;
  array[0] = std::nullopt;
  array[5].modify([](std::optional<int>& n) { n = 99; });
  array[2].modify([](std::optional<int>& n) { *n += 3; });
  EXPECT_EQ(array.read(), (std::vector<int>{10, 20, 33}));
}

// Members compare by id only, so "the member present after insert" can be
// told apart from the member offered.
struct Tagged {
  int id;
  std::string tag;
  bool operator<(const Tagged& other) const { return id < other.id; }
  bool operator==(const Tagged& other) const { return id == other.id && tag == other.tag; }
};

TEST(LockedVarSet, InsertReportsTheMemberPresentAfterwardsAndRemoveTheOneRemoved) {
  LockedVar<std::set<Tagged>> set;
  EXPECT_EQ(set.insert({1, "first"}), (SetInsertResult<Tagged>{true, {1, "first"}}));
  EXPECT_EQ(set.insert({1, "second"}), (SetInsertResult<Tagged>{false, {1, "first"}}));
  EXPECT_TRUE(set.contains({1, ""}));
  EXPECT_EQ(set.remove({1, ""}), (Tagged{1, "first"}));
  EXPECT_EQ(set.remove({1, ""}), std::nullopt);
  EXPECT_FALSE(set.contains({1, ""}));
}

// Several threads mix `access` increments and dictionary `item` calls; the
// counter and the dictionary must end exact, and every `item` for a key must
// see the one value its single creation stored.
TEST(LockedVarStress, AccessIncrementsAndItemCallsEndExact) {
  const int threads = 4;
  const int iterations = test::scaled(20000);
  const int keys = 64;
  LockedVar<long> counter(0);
  LockedVar<std::unordered_map<int, int>> table;
  LockedVar<int> creations(0);
  std::atomic<int> wrongValues{0};
  test::runConcurrently(threads, [&](int t) {
    for (int i = 0; i < iterations; ++i) {
      counter.access([](long& n) { ++n; });
      const int key = (i * 7 + t) % keys;
      const int value = table.item(key, [&](int k) {
        creations.access([](int& n) { ++n; });
        return k * 3;
      });
      if (value != key * 3) wrongValues.fetch_add(1);
    }
  });
  EXPECT_EQ(counter.read(), static_cast<long>(threads) * iterations);
  EXPECT_EQ(creations.read(), keys) << "item must create each key exactly once";
  EXPECT_EQ(table.read().size(), static_cast<std::size_t>(keys));
  EXPECT_EQ(wrongValues.load(), 0);
}

}  // namespace
}  // namespace mornik
