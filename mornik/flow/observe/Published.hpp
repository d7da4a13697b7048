#pragma once

#include <concepts>
#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/flow/core/Handler.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"

MORNIK_EXPORTS_BEGIN

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
// The property also publishes its values: subscribe() hands a subscriber
// the current value, then every value stored later (equal ones included),
// each asynchronously on the subscriber's queue. A value is handed over in
// the same critical section that stores it, and the current value in the
// one that registers the subscriber; so a subscriber on a serial queue sees
// the values in the order they were stored, concurrent stores included,
// never one twice and never the current one missed.
//
// Ownership: refers to its owner's publisher; it is a member of that owner
// and must not outlive it. A value subscription is owned by its handle,
// which may outlive the property (it then receives nothing more).
// Thread safety: every member may be called from any thread; each read and
// each write takes the property's own lock once. No block runs under it.
template <class T>
class Published {
 public:
  Published(const ObservableObject& owner, T initial)
      : Published(owner.objectWillChange(), std::move(initial)) {}
  Published(ChangePublisher& publisher, T initial)
      : publisher_(publisher), value_(std::move(initial)) {}
  Published(const Published&) = delete;
  Published& operator=(const Published&) = delete;

  T get() const MORNIK_EXCLUDES(lock_) {
    detail::ScopedLock<UnfairLock> guard(lock_);
    return value_;
  }
  operator T() const { return get(); }  // NOLINT(google-explicit-constructor)

  // Announces, then stores.
  void set(T value) {
    modify([&value](T& stored) { stored = std::move(value); });
  }
  Published& operator=(T value) {
    set(std::move(value));
    return *this;
  }

  // Announces, then changes the value in place under its lock (the block must
  // be short and must not touch this property); returns a copy of the block's
  // result.
  template <class F>
    requires std::invocable<F&, T&>
  auto modify(F&& change) MORNIK_EXCLUDES(lock_) {
    using R = std::decay_t<std::invoke_result_t<F&, T&>>;
    publisher_.send();
    Live live;  // declared before the guard: released after the lock
    detail::ScopedLock<UnfairLock> guard(lock_);
    if constexpr (std::is_void_v<R>) {
      std::invoke(change, value_);
      publishLocked(live);
    } else {
      R result = std::invoke(change, value_);
      publishLocked(live);
      return result;
    }
  }

  // `block(value)` on `queue` with the current value, then with every value
  // stored later, while the returned handle lives.
  template <class F>
    requires Flow::BlockTaking<F, const T&>
  Subscription subscribe(DispatchQueue queue, F&& block) MORNIK_EXCLUDES(lock_) {
    auto handler = Flow::Handler<T>::make(std::move(queue), std::forward<F>(block));
    {
      detail::ScopedLock<UnfairLock> guard(lock_);
      // Ended subscriptions leave expired entries; drop them as the list grows.
      std::erase_if(subscribers_, [](const auto& weak) { return weak.expired(); });
      subscribers_.push_back(handler);
      handler->call(value_);
    }
    return Subscription(std::move(handler));
  }

  // How many value subscriptions are live right now (a snapshot).
  std::size_t subscriberCount() const MORNIK_EXCLUDES(lock_) {
    detail::ScopedLock<UnfairLock> guard(lock_);
    std::size_t live = 0;
    for (const auto& weak : subscribers_) live += weak.expired() ? 0 : 1;
    return live;
  }

 private:
  using Live = std::vector<std::shared_ptr<Flow::Handler<T>>>;

  // Hands the stored value to every live subscriber. The handlers are
  // collected into `live`, so that one whose handle goes meanwhile is
  // destroyed by the caller, after the lock.
  void publishLocked(Live& live) MORNIK_REQUIRES(lock_) {
    if (subscribers_.empty()) return;
    live.reserve(subscribers_.size());
    for (const auto& weak : subscribers_) {
      if (auto handler = weak.lock()) live.push_back(std::move(handler));
    }
    for (const auto& handler : live) handler->call(value_);
  }

  ChangePublisher& publisher_;
  mutable UnfairLock lock_;
  T value_ MORNIK_GUARDED_BY(lock_);
  std::vector<std::weak_ptr<Flow::Handler<T>>> subscribers_ MORNIK_GUARDED_BY(lock_);
};

}  // namespace mornik

MORNIK_EXPORTS_END
