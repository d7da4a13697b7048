#include "mornik/concurrency/LockedVar.hpp"

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
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

TEST(LockedVar, ReadAccessTheStarOperatorsAndKeyPaths) {
  LockedVar<int> counter(5);
  EXPECT_EQ(counter.read(), 5);
  EXPECT_EQ(*counter, 5);
  EXPECT_EQ(counter.access([](int& n) { return ++n; }), 6);
  counter *= 10;
  EXPECT_EQ(counter.read([](int n) { return n * 2; }), 20);
  int target = 0;
  target *= counter;
  EXPECT_EQ(target, 10);
  EXPECT_EQ(counter.wrapped(), 10);

  LockedVar<Point> point(Point{3, 4});
  EXPECT_EQ(point.read(&Point::y), 4);
  point.access([](Point& p) { p.x = 7; });
  EXPECT_EQ(point.read(&Point::x), 7);
}

TEST(LockedVar, AThrowingBlockLeavesTheLockReleasedAndTheExceptionUnchanged) {
  LockedVar<std::vector<int>> values(std::vector<int>{1});
  try {
    values.access([](std::vector<int>& v) {
      v.push_back(2);
      throw std::invalid_argument("bad value");
    });
    FAIL() << "the exception was swallowed";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "bad value");
  }
  // The next operation proceeds (it would deadlock if the lock were held).
  EXPECT_EQ(values.read().size(), 2U);
}

TEST(LockedVar, CopiesCopyTheValue) {
  LockedVar<std::string> original(std::string("a"));
  LockedVar<std::string> copy = original;
  copy.set("b");
  EXPECT_EQ(original.read(), "a");
  EXPECT_EQ(copy.read(), "b");
  LockedVar<std::string> moved = std::move(copy);
  EXPECT_EQ(moved.read(), "b");
}

TEST(LockedVarDeathTest, CopiesShareTheLock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // Touching the copy inside a block on the original takes the shared lock
  // twice on one thread.
  EXPECT_DEATH(
      {
        LockedVar<int> original(1);
        LockedVar<int> copy = original;
        original.access([&](int&) { (void)copy.read(); });
      },
      "taken twice on one thread");
}

TEST(LockedVarDeathTest, TouchingTheSameLockedVarInsideItsBlockAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        LockedVar<int> value(1);
        value.access([&](int&) { value.set(2); });
      },
      "taken twice on one thread");
}

TEST(LockedVarDictionary, SubscriptGetSetAndRemove) {
  LockedVar<std::map<std::string, int>> dictionary;
  EXPECT_EQ(dictionary["a"].get(), std::nullopt);
  dictionary["a"] = 1;
  dictionary["b"] = 2;
  std::optional<int> a = dictionary["a"];
  EXPECT_EQ(a, 1);
  dictionary["a"] = std::nullopt;
  EXPECT_FALSE(dictionary.contains("a"));
  EXPECT_TRUE(dictionary.contains("b"));
  const auto& constView = dictionary;
  EXPECT_EQ(constView["b"], 2);
}

TEST(LockedVarDictionary, ModifyIsAReadThenAWrite) {
  LockedVar<std::unordered_map<std::string, int>> dictionary;
  dictionary["n"].modify([](std::optional<int>& n) { n = n.value_or(0) + 5; });
  dictionary["n"].modify([](std::optional<int>& n) { *n += 1; });
  EXPECT_EQ(dictionary.get("n"), 6);
  dictionary["n"].modify([](std::optional<int>& n) { n.reset(); });
  EXPECT_FALSE(dictionary.contains("n"));
}

TEST(LockedVarDictionary, ItemCallsTheBlockOnlyForAnAbsentKey) {
  LockedVar<std::map<int, std::string>> cache;
  int calls = 0;
  auto make = [&](int key) {
    ++calls;
    return "value " + std::to_string(key);
  };
  EXPECT_EQ(cache.item(7, make), "value 7");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(cache.item(7, make), "value 7");
  EXPECT_EQ(cache.factory(7, make), "value 7");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(cache.factory(8, make), "value 8");
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(cache.get(8), "value 8");
}

TEST(LockedVarArray, OutOfRangeReadsYieldNoneAndWritesChangeNothing) {
  LockedVar<std::vector<int>> array(std::vector<int>{10, 20, 30});
  EXPECT_EQ(array[-1].get(), std::nullopt);
  EXPECT_EQ(array[3].get(), std::nullopt);
  EXPECT_EQ(array[1].get(), 20);
  array[-1] = 99;
  array[3] = 99;
  array[0] = std::nullopt;
  EXPECT_EQ(array.read(), (std::vector<int>{10, 20, 30}));
  array[2] = 33;
  EXPECT_EQ(array.read(), (std::vector<int>{10, 20, 33}));
}

TEST(LockedVarArray, ModifyChangesAnElementInRangeOnly) {
  LockedVar<std::vector<std::string>> array(std::vector<std::string>{"a", "b"});
  array[1].modify([](std::optional<std::string>& s) { *s += "!"; });
  array[5].modify([](std::optional<std::string>& s) { s = "new"; });
  EXPECT_EQ(array.read(), (std::vector<std::string>{"a", "b!"}));
  const auto& constView = array;
  EXPECT_EQ(constView[0], "a");
}

// Members compare by id only, so "the member present after insert" can be
// told apart from the member offered.
struct Tagged {
  int id;
  std::string tag;
  bool operator<(const Tagged& other) const { return id < other.id; }
  bool operator==(const Tagged& other) const { return id == other.id && tag == other.tag; }
};

TEST(LockedVarSet, InsertReportsTheMemberPresentAfterwards) {
  LockedVar<std::set<Tagged>> set;
  EXPECT_EQ(set.insert({1, "first"}), (SetInsertResult<Tagged>{true, {1, "first"}}));
  EXPECT_EQ(set.insert({1, "second"}), (SetInsertResult<Tagged>{false, {1, "first"}}));
  EXPECT_TRUE(set.contains({1, ""}));
  EXPECT_EQ(set.read().size(), 1U);
}

TEST(LockedVarSet, RemoveReturnsTheRemovedMember) {
  LockedVar<std::unordered_set<std::string>> set;
  (void)set.insert("x");
  EXPECT_EQ(set.remove("x"), "x");
  EXPECT_EQ(set.remove("x"), std::nullopt);
  EXPECT_FALSE(set.contains("x"));
}

// Several threads mix `access` increments and dictionary `item` calls; the
// counter and the dictionary must end exact, and every `item` for a key must
// see the one value its single creation stored.
class LockedVarStress : public testing::TestWithParam<int> {};

TEST_P(LockedVarStress, AccessIncrementsAndItemCallsEndExact) {
  const int threads = GetParam();
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

INSTANTIATE_TEST_SUITE_P(Threads, LockedVarStress, testing::Values(2, 4, 8));

}  // namespace
}  // namespace mornik
