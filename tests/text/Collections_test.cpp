#include "mornik/text/Collections.hpp"

#include <array>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace mornik {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

enum class Speed { slow, normal, fast };
enum class Single { only };

}  // namespace

template <>
struct EnumCases<Speed> {
  static constexpr std::array all{Speed::slow, Speed::normal, Speed::fast};
};
template <>
struct EnumCases<Single> {
  static constexpr std::array all{Single::only};
};

namespace {

struct Person {
  std::string name;
  int age = 0;
  std::string city;
};

TEST(CollectionAccess, SafeAndWrappingPositions) {
  const std::vector<int> v{10, 20, 30, 40, 50};
  EXPECT_EQ(safe(v, 4), 50);
  EXPECT_EQ(safe(v, 5), std::nullopt);
  EXPECT_EQ(infinityIdx(v, 7), 30);
  EXPECT_EQ(infinityIdx(v, -1), 50);
  EXPECT_EQ(infinityIdx(v, -5), 10);
  EXPECT_THAT(safeIdxs(v, {4, 9, -1, 0}), ElementsAre(50, 10));
  EXPECT_THAT(safeIdxs(v, IndexRange{3, 9}), ElementsAre(40, 50));
  constexpr auto kMax = std::numeric_limits<std::ptrdiff_t>::max();
  EXPECT_THAT(safeIdxs(v, ClosedIndexRange{3, kMax}), ElementsAre(40, 50));
  EXPECT_THAT(take(v, ClosedIndexRange{4, kMax}), ElementsAre(50));
}

TEST(CollectionAccessDeathTest, WrappingAnEmptyCollectionIsACallerError) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::vector<int> empty;
  EXPECT_DEBUG_DEATH((void)infinityIdx(empty, 1), "empty");
}

TEST(CollectionAccess, SlicesClampToTheArray) {
  const std::vector<int> v{1, 2, 3, 4, 5};
  EXPECT_THAT(first(v, 2), ElementsAre(1, 2));
  EXPECT_THAT(last(v, 2), ElementsAre(4, 5));
  EXPECT_THAT(take(v, ClosedIndexRange{-3, 0}), ElementsAre(1));
  EXPECT_TRUE(take(v, ClosedIndexRange{6, 8}).empty());
  EXPECT_EQ(firstIndexInt(v, [](int x) { return x > 3; }), 3);
  EXPECT_EQ(asString(std::vector<std::string>{"a", "\xC3\xA9"}), "a\xC3\xA9");
}

TEST(CollectionTests, MembershipOfSeveralValues) {
  const std::vector<int> v{1, 2, 3};
  EXPECT_TRUE(containsAllOf(v, std::vector<int>{}));
  EXPECT_TRUE(containsOneOf(v, {9, 3}));
  EXPECT_FALSE(containsAllOf(v, {1, 9}));
  EXPECT_TRUE(atLeastOneSatisfy(v, [](int x) { return x % 2 == 0; }));
}

TEST(CollectionBuilding, AppendInsertRemoveReplace) {
  using mornik::operator+;
  using mornik::operator+=;
  std::vector<int> v{1, 2};
  EXPECT_THAT(v + 3, ElementsAre(1, 2, 3));
  v += 4;
  EXPECT_THAT(v, ElementsAre(1, 2, 4));
  EXPECT_THAT(appendingContentsOf(v, std::vector<int>{7, 8}), ElementsAre(1, 2, 4, 7, 8));
  EXPECT_THAT(inserting(v, 3, 2), ElementsAre(1, 2, 3, 4));
  EXPECT_THAT(insertingContentsOf(v, std::vector<int>{8, 9}, 3), ElementsAre(1, 2, 4, 8, 9));
  EXPECT_TRUE(removeFirst(v, [](int x) { return x > 1; }));
  EXPECT_THAT(v, ElementsAre(1, 4));
  std::vector<int> w{5, 6, 5};
  EXPECT_TRUE(remove(w, 5));
  EXPECT_THAT(w, ElementsAre(6, 5));
  EXPECT_THAT(replacingAllValues(std::vector<int>{1, 2, 1}, 1, 0), ElementsAre(0, 2, 0));
}

TEST(CollectionBuilding, DistinctKeepsFirstSeenOrder) {
  const std::vector<int> v{3, 1, 3, 2, 1};
  EXPECT_THAT(distinct(v), ElementsAre(3, 1, 2));
  std::vector<int> w = v;
  removeDuplicates(w);
  EXPECT_THAT(w, ElementsAre(3, 1, 2));
  const std::vector<Person> people{{"ann", 30, "Oslo"}, {"bob", 30, "Rome"}, {"cy", 41, "Oslo"}};
  const auto byAge = distinct(people, &Person::age);
  EXPECT_EQ(join(byAge, [](const Person& p) { return p.name; }), "anncy");
}

TEST(CollectionBuilding, ChunksAndSlices) {
  const std::vector<int> v{1, 2, 3, 4, 5};
  EXPECT_THAT(chunkedBy(v, 2), ElementsAre(ElementsAre(1, 2), ElementsAre(3, 4), ElementsAre(5)));
  EXPECT_TRUE(chunkedBy(v, 0).empty());
  constexpr auto kMax = std::numeric_limits<std::ptrdiff_t>::max();
  EXPECT_THAT(chunkedBy(v, kMax), ElementsAre(ElementsAre(1, 2, 3, 4, 5)));
  EXPECT_THAT(chunkedInto(v, 2), ElementsAre(ElementsAre(1, 2), ElementsAre(3, 4), ElementsAre(5)));
  const auto slices = splitBy(v, 3);
  ASSERT_EQ(slices.size(), 2U);
  EXPECT_THAT(slices[1], ElementsAre(4, 5));
  EXPECT_EQ(slices[1].data(), v.data() + 3);  // views into the array
}

TEST(CollectionBuilding, RandomElementsDrawWithRepetition) {
  std::mt19937_64 generator(7);
  EXPECT_THAT(randomElements(std::vector<int>{42}, 3, generator), UnorderedElementsAre(42));
  const std::vector<int> v{1, 2, 3, 4};
  const auto drawn = randomElements(v, 3, generator);
  EXPECT_GE(drawn.size(), 1U);
  for (int x : drawn) EXPECT_TRUE(containsOneOf(v, {x}));
  // Many draws reach every element: the generator is used uniformly.
  EXPECT_EQ(randomElements(v, 200).size(), 4U);
  // A huge count ends once every distinct element is drawn.
  EXPECT_EQ(randomElements(std::vector<int>{1, 1, 2}, std::numeric_limits<std::ptrdiff_t>::max()),
            (std::unordered_set<int>{1, 2}));
}

TEST(CollectionBuilding, SumJoinMapToAndFlatten) {
  const std::vector<Person> people{{"ann", 30, "Oslo"}, {"bob", 12, "Rome"}};
  EXPECT_EQ(sum(people, &Person::age), 42);
  EXPECT_DOUBLE_EQ(sum(people, [](const Person& p) { return p.age / 4.0; }), 10.5);
  EXPECT_EQ(join(people, [](const Person& p) { return p.name.substr(0, 1); }), "ab");
  const std::vector<int> a{1, 2, 3};
  const std::vector<std::string> b{"x"};
  EXPECT_THAT(mapTo(a, b,
                    [](const int* x, const std::string* y) {
                      return (x ? std::to_string(*x) : "-") + (y ? *y : "-");
                    }),
              ElementsAre("1x", "2-", "3-"));
  const std::map<int, std::vector<int>> tree{{1, {2, 3}}, {2, {4}}, {3, {}}, {4, {}}};
  EXPECT_THAT(recursiveFlatMap(std::vector<int>{1}, [&](int n) { return tree.at(n); }),
              ElementsAre(1, 2, 4, 3));
}

TEST(CollectionDictionaries, KeyedAndGrouped) {
  const std::vector<Person> people{{"ann", 30, "Oslo"}, {"bob", 30, "Rome"}, {"ann", 41, "Rome"}};
  const auto byName = toDictionary(people, &Person::name);
  EXPECT_EQ(byName.size(), 2U);
  EXPECT_EQ(byName.at("ann").age, 41);  // the later element wins
  const auto ages = toDictionary(people, &Person::city, [](const Person& p) { return p.age; });
  const auto grouped = toDictionaryGroupedBy(people, &Person::age);
  ASSERT_EQ(grouped.at(30).size(), 2U);
  EXPECT_EQ(grouped.at(30)[1].name, "bob");
  EXPECT_THAT(group(people, &Person::city, &Person::name).at("Rome"), ElementsAre("bob", "ann"));
  EXPECT_THAT(group(people, &Person::name, [](const Person& p) { return p.age * 2; }).at("ann"),
              ElementsAre(60, 82));
}

TEST(CollectionCircular, ArraysAndEnumerationsWrapAround) {
  const std::vector<std::string> v{"a", "b", "c"};
  EXPECT_EQ(circleIterationNext(v, "c"), "a");
  EXPECT_EQ(circleIterationPrev(v, "a"), "c");
  EXPECT_EQ(circleIterationNext(v, "z"), std::nullopt);
  EXPECT_EQ(circleIterationNext(std::vector<int>{7}, 7), 7);

  EXPECT_EQ(nextCircular(Speed::fast), Speed::slow);
  EXPECT_EQ(prevCircular(Speed::slow), Speed::fast);
  EXPECT_EQ(next(Speed::normal), Speed::fast);
  EXPECT_EQ(next(Speed::fast), std::nullopt);
  EXPECT_EQ(nextCircular(Single::only), Single::only);
  EXPECT_EQ(next(Single::only), std::nullopt);
}

}  // namespace
}  // namespace mornik
