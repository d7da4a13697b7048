#pragma once

#include <concepts>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/flow/core/Handler.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The handle of one subscription to a ChangePublisher: the subscription
// lasts as long as the handle (or until cancel()). Move-only.
//
// After the handle is released no new notification starts; one that is
// already running on another thread finishes (it keeps the block alive
// until it returns).
class [[nodiscard]] Subscription {
 public:
  Subscription() = default;
  explicit Subscription(std::shared_ptr<const void> token) : token_(std::move(token)) {}
  Subscription(Subscription&&) noexcept = default;
  Subscription& operator=(Subscription&&) noexcept = default;
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;
  ~Subscription() = default;

  // Ends the subscription now.
  void cancel() noexcept { token_.reset(); }
  bool isActive() const noexcept { return token_ != nullptr; }

 private:
  std::shared_ptr<const void> token_;
};

// An object-will-change publisher: send() announces that its owner is about
// to change (or has just changed); subscribers re-read the owner.
//
//   mornik::Subscription s = model->objectWillChange().subscribe([&] { redraw(*model); });
//   model->objectWillChange().send();  // redraw runs later on the main queue
//
// Each send() submits one notification to every live subscriber, on the
// queue the subscriber named (the main queue by default); a notification
// never runs inside send() or subscribe(), and never under the publisher's
// lock. Notifications of one subscriber on a serial queue arrive in send
// order. The library's own objects send on the main queue.
//
// Ownership: the subscription handle owns the subscriber's block; the
// publisher holds subscribers weakly, so a released handle ends the
// subscription and a notification still queued for it does nothing.
// Thread safety: every member may be called from any thread.
class ChangePublisher {
 public:
  ChangePublisher() = default;
  ChangePublisher(const ChangePublisher&) = delete;
  ChangePublisher& operator=(const ChangePublisher&) = delete;

  // Notifies every live subscriber.
  void send() const MORNIK_EXCLUDES(lock_);

  // `block()` on `queue` after every later send(), while the handle lives.
  template <class F>
    requires Flow::BlockTaking<F>
  Subscription subscribe(DispatchQueue queue, F&& block) MORNIK_EXCLUDES(lock_) {
    auto handler = Flow::Handler<void>::make(std::move(queue), std::forward<F>(block));
    add(handler);
    return Subscription(std::move(handler));
  }
  // The same on the main queue.
  template <class F>
    requires Flow::BlockTaking<F>
  Subscription subscribe(F&& block) {
    return subscribe(DispatchQueue::main(), std::forward<F>(block));
  }

  // How many subscriptions are live right now (a snapshot).
  std::size_t subscriberCount() const MORNIK_EXCLUDES(lock_);

 private:
  void add(const std::shared_ptr<Flow::Handler<void>>& handler) MORNIK_EXCLUDES(lock_);

  mutable UnfairLock lock_;
  mutable std::vector<std::weak_ptr<Flow::Handler<void>>> subscribers_ MORNIK_GUARDED_BY(lock_);
};

// An object observed by a user interface: it carries an object-will-change
// publisher and announces through it every change a view should show.
//
//   class Counter : public mornik::ObservableObject {
//    public:
//     mornik::Published<int> count{*this, 0};  // announces every assignment
//   };
//
// Thread safety: objectWillChange() may be used from any thread.
class ObservableObject {
 public:
  virtual ~ObservableObject() = default;
  ObservableObject(const ObservableObject&) = delete;
  ObservableObject& operator=(const ObservableObject&) = delete;

  ChangePublisher& objectWillChange() const noexcept { return objectWillChange_; }

 protected:
  ObservableObject() = default;

 private:
  mutable ChangePublisher objectWillChange_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
