#include "mornik/text/Dictionary.hpp"

#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <gtest/gtest.h>

namespace mornik {
namespace {

TEST(Dictionary, RemoveAndItem) {
  std::map<std::string, int> stock{{"apples", 3}, {"pears", 1}};
  remove(stock, "kiwis");
  remove(stock, "pears");
  EXPECT_EQ(stock, (std::map<std::string, int>{{"apples", 3}}));

  item(stock, "apples", [](std::optional<int> n) { return n.value_or(0) + 1; });
  item(stock, "plums", [](std::optional<int> n) {
    EXPECT_EQ(n, std::nullopt);
    return n.value_or(0) + 5;
  });
  EXPECT_EQ(stock, (std::map<std::string, int>{{"apples", 4}, {"plums", 5}}));
  // An optional result of nothing removes the key.
  item(stock, "plums", [](std::optional<int>) -> std::optional<int> { return std::nullopt; });
  EXPECT_EQ(stock, (std::map<std::string, int>{{"apples", 4}}));
}

TEST(Dictionary, BuildingAndMapping) {
  const auto zeroes = dictionaryWithVal(std::vector<std::string>{"a", "b"}, 0);
  EXPECT_EQ(zeroes, (std::unordered_map<std::string, int>{{"a", 0}, {"b", 0}}));
  const auto ordered = dictionaryWithVal<std::map<int, bool>>(std::vector<int>{2, 1}, true);
  EXPECT_EQ(ordered, (std::map<int, bool>{{1, true}, {2, true}}));

  const std::map<std::string, int> stock{{"a", 1}, {"b", 2}};
  const auto labels =
      mapValues(stock, [](const std::string& key, int n) { return key + std::to_string(n); });
  EXPECT_EQ(labels, (std::map<std::string, std::string>{{"a", "a1"}, {"b", "b2"}}));
  const auto doubled = mapValues(zeroes, [](int n) { return n + 2.5; });
  EXPECT_EQ(doubled, (std::unordered_map<std::string, double>{{"a", 2.5}, {"b", 2.5}}));
}

TEST(Dictionary, DiffAndSizeInBytes) {
  const std::map<std::string, int> mine{{"same", 1}, {"changed", 2}, {"onlyMine", 3}};
  const std::unordered_map<std::string, int> theirs{{"same", 1}, {"changed", 5}, {"onlyTheirs", 4}};
  EXPECT_EQ(diff(mine, theirs), (std::unordered_set<std::string>{"changed", "onlyMine"}));
  EXPECT_EQ(diff(std::map<std::string, int>{}, theirs), std::unordered_set<std::string>{});

  struct Big {
    char bytes[40];
  };
  std::map<int, Big> cache{{1, {}}, {2, {}}, {3, {}}};
  EXPECT_EQ(sizeInBytes(cache), 3 * sizeof(Big));
  EXPECT_EQ(sizeInBytes(std::map<int, Big>{}), 0U);
}

}  // namespace
}  // namespace mornik
