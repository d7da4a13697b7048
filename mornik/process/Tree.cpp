#include "mornik/process/Tree.hpp"

#include <iterator>

namespace mornik::Aux {

Tree::Update operator+(const Tree::Update& a, const Tree::Update& b) {
  Tree::Update sum = a;
  sum.inserted.insert(sum.inserted.end(), b.inserted.begin(), b.inserted.end());
  sum.removed.insert(sum.removed.end(), b.removed.begin(), b.removed.end());
  return sum;
}

Tree::Update Tree::update(const std::string& parent, const std::vector<std::string>& children) {
  std::set<std::string> added;
  if (items_.insert(parent).second) added.insert(parent);
  for (const std::string& child : children) {
    if (!items_.insert(child).second) continue;
    childrenOf_[parent].insert(child);
    parentOf_[child] = parent;
    added.insert(child);
  }
  return Update{std::vector<std::string>(added.begin(), added.end()), {}};
}

std::set<std::string> Tree::allChildren(const std::string& parent) const {
  // Iterative, so that a deep chain cannot exhaust the stack.
  std::set<std::string> found;
  std::vector<const std::string*> pending{&parent};
  while (!pending.empty()) {
    const std::string* item = pending.back();
    pending.pop_back();
    const auto children = childrenOf_.find(*item);
    if (children == childrenOf_.end()) continue;
    for (const std::string& child : children->second) {
      if (found.insert(child).second) pending.push_back(&child);
    }
  }
  return found;
}

}  // namespace mornik::Aux
