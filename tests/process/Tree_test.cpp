#include "mornik/process/Tree.hpp"

#include <gtest/gtest.h>

namespace mornik::Aux {
namespace {

using Names = std::vector<std::string>;

TEST(Tree, UpdateAddsOnlyNewItemsNeverReparentsAndAllChildrenCollectsDescendants) {
  Tree tree;
  EXPECT_EQ(tree.update("a", {}).inserted, Names{"a"});
  EXPECT_EQ(tree.update("a", {}), Tree::Update{});
  EXPECT_EQ(tree.update("a", {"b", "b", "a"}).inserted, Names{"b"});
  EXPECT_EQ(tree.update("b", {"a", "c"}).inserted, Names{"c"});
  EXPECT_EQ(tree.parentOf(), (std::map<std::string, std::string>{{"b", "a"}, {"c", "b"}}));
  EXPECT_EQ(tree.childrenOf().at("a"), std::set<std::string>{"b"});
  EXPECT_EQ(tree.items(), (std::set<std::string>{"a", "b", "c"}));
  EXPECT_EQ(Tree().update("x", {"y"}).inserted, (Names{"x", "y"}));
  // allChildren collects every descendant; updates add up in order.
  tree.update("d", {"e"});
  EXPECT_EQ(tree.allChildren("a"), (std::set<std::string>{"b", "c"}));
  EXPECT_TRUE(tree.allChildren("c").empty());
  EXPECT_TRUE(tree.allChildren("unknown").empty());
  const Tree::Update sum = Tree::Update{{"a"}, {"x"}} + Tree::Update{{"b"}, {"y"}};
  EXPECT_EQ(sum, (Tree::Update{{"a", "b"}, {"x", "y"}}));
}

}  // namespace
}  // namespace mornik::Aux
