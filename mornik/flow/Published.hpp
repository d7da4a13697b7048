#pragma once

#include <concepts>
#include <functional>
#include <type_traits>
#include <utility>

#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/flow/ObservableObject.hpp"

namespace mornik {

// A stored property of an observable object whose every change is announced
// through the owner's object-will-change publisher, before the change.
//
//   class Errors : public mornik::ObservableObject {
//    public:
//     mornik::Published<std::optional<mornik::Error>> recent{*this, std::nullopt};
//   };
//   errors->recent = WTF("disk full", 0);  // objectWillChange().send(), then the store
//
// Subscribers are notified asynchronously on their queues (see
// ChangePublisher), so by the time a notification runs the new value is
// readable. Every assignment announces, also of an equal value.
//
// Ownership: refers to its owner's publisher; it is a member of that owner
// and must not outlive it.
// Thread safety: every member may be called from any thread; each read and
// each write takes the property's own lock once.
template <class T>
class Published {
 public:
  Published(const ObservableObject& owner, T initial)
      : Published(owner.objectWillChange(), std::move(initial)) {}
  Published(ChangePublisher& publisher, T initial)
      : publisher_(publisher), value_(std::move(initial)) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  T get() const { return value_.read(); }
  operator T() const { return get(); }  // NOLINT(google-explicit-constructor)

  // Announces, then stores.
  void set(T value) {
    publisher_.send();
    value_.set(std::move(value));
  }
  Published& operator=(T value) {
    set(std::move(value));
    return *this;
  }

  // Announces, then changes the value in place under its lock (the block must
  // be short and must not touch this property); returns the block's result.
  template <class F>
  requires std::invocable<F&, T&>
  decltype(auto) modify(F&& change) {
    publisher_.send();
    return value_.access(std::forward<F>(change));
  }

 private:
  ChangePublisher& publisher_;
  LockedVar<T> value_;
};

}  // namespace mornik
