#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

// A filter condition over values of T that composes: negation, conjunction
// and disjunction, each a new predicate. A predicate can be evaluated and
// printed in the style of a predicate language ("NOT", "AND", "OR", with
// compound parts in parentheses).
//
//   mornik::Predicate<int> big("SELF > 10", [](int v) { return v > 10; });
//   mornik::Predicate<int> even("SELF % 2 == 0", [](int v) { return v % 2 == 0; });
//   auto p = big - even;           // big.andWith(even.negated())
//   p(13);                         // true
//   p.description();               // "SELF > 10 AND NOT SELF % 2 == 0"
//
// Compound predicates evaluate their parts left to right and stop as soon as
// the answer is known.
//
// Thread safety: a Predicate is immutable; copies share their parts. It may
// be evaluated from several threads at once when its tests may be.
namespace mornik {

template <class T>
class Predicate {
 public:
  using Test = std::function<bool(const T&)>;

  // A basic predicate: `format` is what it prints as, `test` what it checks.
  Predicate(std::string format, Test test)
      : node_(std::make_shared<const Node>(
            Node{Kind::leaf, std::move(format), std::move(test), nullptr, nullptr})) {}
  // The predicate that is always (never) true: "TRUEPREDICATE"
  // ("FALSEPREDICATE").
  static Predicate constant(bool value) {
    return Predicate(value ? "TRUEPREDICATE" : "FALSEPREDICATE",
                     [value](const T&) { return value; });
  }

  bool evaluate(const T& value) const { return evaluate(*node_, value); }
  bool operator()(const T& value) const { return evaluate(value); }
  std::string description() const { return describe(*node_); }

  Predicate negated() const { return Predicate(Kind::negation, node_, nullptr); }
  Predicate andWith(const Predicate& other) const {
    return Predicate(Kind::conjunction, node_, other.node_);
  }
  Predicate orWith(const Predicate& other) const {
    return Predicate(Kind::disjunction, node_, other.node_);
  }

  friend Predicate operator!(const Predicate& p) { return p.negated(); }
  friend Predicate operator+(const Predicate& p, const Predicate& q) { return p.andWith(q); }
  friend Predicate operator|(const Predicate& p, const Predicate& q) { return p.orWith(q); }
  // p and not q.
  friend Predicate operator-(const Predicate& p, const Predicate& q) {
    return p.andWith(q.negated());
  }

 private:
  enum class Kind { leaf, negation, conjunction, disjunction };
  struct Node {
    Kind kind;
    std::string format;
    Test test;
    std::shared_ptr<const Node> left;
    std::shared_ptr<const Node> right;
  };

  Predicate(Kind kind, std::shared_ptr<const Node> left, std::shared_ptr<const Node> right)
      : node_(std::make_shared<const Node>(
            Node{kind, std::string(), nullptr, std::move(left), std::move(right)})) {}

  static bool evaluate(const Node& n, const T& value) {
    switch (n.kind) {
      case Kind::leaf:
        return n.test && n.test(value);
      case Kind::negation:
        return !evaluate(*n.left, value);
      case Kind::conjunction:
        return evaluate(*n.left, value) && evaluate(*n.right, value);
      case Kind::disjunction:
        return evaluate(*n.left, value) || evaluate(*n.right, value);
    }
    return false;
  }

  // A part of a compound predicate, in parentheses when it is itself a
  // conjunction or disjunction.
  static std::string part(const Node& n) {
    const bool compound = n.kind == Kind::conjunction || n.kind == Kind::disjunction;
    return compound ? "(" + describe(n) + ")" : describe(n);
  }
  static std::string describe(const Node& n) {
    switch (n.kind) {
      case Kind::leaf:
        return n.format;
      case Kind::negation:
        return "NOT " + part(*n.left);
      case Kind::conjunction:
        return part(*n.left) + " AND " + part(*n.right);
      case Kind::disjunction:
        return part(*n.left) + " OR " + part(*n.right);
    }
    return {};
  }

  std::shared_ptr<const Node> node_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
