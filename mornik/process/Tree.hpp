#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Aux {

// A forest of text identifiers that only grows: which item is the parent of
// which, each growth step reported as a change set, and every descendant of
// an item on request.
//
//   Aux::Tree tree;
//   tree.update("src", {"src/a.cpp", "src/lib"});   // inserted: src, src/a.cpp, src/lib
//   tree.update("src/lib", {"src/lib/b.cpp"});      // inserted: src/lib/b.cpp
//   tree.allChildren("src");                         // the three below src
//
// Invariants: every item has at most one parent; an item becomes a child
// only when it is new to the tree, so no item is ever re-parented and no
// cycle can arise; every key and value of childrenOf() and parentOf() is in
// items().
//
// Thread safety: a plain value; one writer or many readers at a time.
class Tree {
 public:
  // One change: the items it added, and those it removed (updates never
  // remove anything).
  struct Update {
    std::vector<std::string> inserted;
    std::vector<std::string> removed;

    // The left operand's lists followed by the right one's.
    friend Update operator+(const Update& a, const Update& b);
    friend bool operator==(const Update&, const Update&) = default;
  };

  const std::set<std::string>& items() const noexcept { return items_; }
  const std::map<std::string, std::set<std::string>>& childrenOf() const noexcept {
    return childrenOf_;
  }
  const std::map<std::string, std::string>& parentOf() const noexcept { return parentOf_; }

  // Adds `parent` as a root when it is new, then each child that is new to
  // the tree (others, the parent itself included, are skipped) under it.
  // Reports the items added, in items() order.
  Update update(const std::string& parent, const std::vector<std::string>& children);

  // Every descendant of `parent`; empty for a leaf or an unknown name.
  std::set<std::string> allChildren(const std::string& parent) const;

 private:
  std::set<std::string> items_;
  std::map<std::string, std::set<std::string>> childrenOf_;
  std::map<std::string, std::string> parentOf_;
};

// Declared again at namespace scope, so that it is exported with the class.
Tree::Update operator+(const Tree::Update& a, const Tree::Update& b);

}  // namespace mornik::Aux

MORNIK_EXPORTS_END
