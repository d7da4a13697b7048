#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"
#include "mornik/flow/pool/Identities.hpp"
#include "mornik/flow/pool/Pool.hpp"
#include "mornik/flow/signal/Signal.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// A refreshable value source for a user interface: it runs its block on a
// pool whenever it is asked to refresh, publishes each value on signal(),
// the number of refreshes in flight on inProgress(), sends failures to the
// pool's error pool and announces each finished refresh on
// objectWillChange().
//
//   auto weather = Flow::Producer<Forecast>::make(pool, [] { return fetchForecast(); })
//                      ->refreshing();                  // first load at once
//   weather->signal()->onUpdate(DispatchQueue::main(), [](const Forecast& f) { show(f); });
//   weather->inProgress()->onUpdate(DispatchQueue::main(), [](std::int64_t n) { spin(n > 0); });
//   reloadButton.onClick([weather] { weather->refresh(); });
//
// A refresh: the count goes up by one and is published; the block runs as a
// pool future on the pool's queue; on success the value is published on
// signal(), on failure the error goes to the pool's error pool; either way
// the count goes down by one and is published, and then objectWillChange()
// is sent on the main queue (after the outcome is in place, so an observer
// that re-reads the producer sees it). Overlapping refreshes are allowed and counted; a
// failed refresh leaves the last value in place. The producer never
// refreshes by itself.
//
// Ordering: each change of the count is published, after its lock is
// released, with the count that change produced; two concurrent changes may
// publish in either order, and a publisher that finds the signal behind the
// count republishes the count. So subscribers may see a count twice, but
// once every refresh has finished the signal holds 0.
//
// Ownership: the pool holds every refresh's future, so a refresh runs to the
// end even when the producer goes; its handlers then do nothing (they hold
// the producer weakly). The producer holds its pool, its signals and its
// block.
//
// Thread safety: every member may be called from any thread.
//
// Subclasses may override value(), refresh() and refresh(block); they
// construct through makeDerived().
template <class T>
class Producer : public ObservableObject, public std::enable_shared_from_this<Producer<T>> {
  static_assert(!std::is_void_v<T>, "a producer produces values");

 protected:
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Pointer = std::shared_ptr<Producer>;
  using Block = std::function<Result<T>()>;

  static Pointer make(std::shared_ptr<Pool> pool, Block block) {
    return makeDerived<Producer>(std::move(pool), std::move(block));
  }
  static Pointer make(const PoolID& poolID, Block block) {
    return make(poolID.pool(), std::move(block));
  }
  // Without a block: refresh() fails; refresh(block) works.
  static Pointer make(const PoolID& poolID) { return make(poolID.pool(), nullptr); }

  Producer(Passkey /*unused*/, std::shared_ptr<Pool> pool, Block block)
      : pool_(std::move(pool)),
        signal_(Signal<T>::make(pool_->queue())),
        inProgress_(Signal<std::int64_t>::make(pool_->queue(), 0)),
        block_(std::move(block)) {}

  ~Producer() override = default;
  Producer(const Producer&) = delete;
  Producer& operator=(const Producer&) = delete;

  const std::shared_ptr<Pool>& pool() const noexcept { return pool_; }
  // The produced values; handlers run on the pool's queue unless they name
  // another.
  const typename Signal<T>::Pointer& signal() const noexcept { return signal_; }
  // The number of refreshes in flight (0 when idle).
  const typename Signal<std::int64_t>::Pointer& inProgress() const noexcept { return inProgress_; }

  // The last value produced, or nothing before the first success.
  virtual std::optional<T> value() const { return signal_->currentValue(); }

  // Runs `block` once as a refresh (the stored block stays). Returns the
  // refresh's future, which the pool holds.
  virtual std::shared_ptr<Future<T>> refresh(Block block) {
    publishCount(+1);
    auto future = pool_->future(std::nullopt, std::move(block));
    const std::shared_ptr<Producer> self = this->shared_from_this();
    // The change is announced after the value (or the error) is in place, so
    // that an observer re-reading the producer sees the refresh's outcome.
    future->onSuccess(self, [](Producer& producer, const T& value) {
      producer.signal_->update(value);
      producer.publishCount(-1);
      producer.announceChange();
    });
    future->onFailure(self, [](Producer& producer, const Error& error) {
      producer.pool_->errorPool()->append(error);
      producer.publishCount(-1);
      producer.announceChange();
    });
    return future;
  }

  // A refresh with the stored block. Without one, an already failed future
  // ("block not provided for Flow.Producer", code 0), and nothing else
  // changes.
  virtual std::shared_ptr<Future<T>> refresh() {
    if (!block_) return Future<T>::failed(WTF("block not provided for Flow.Producer", 0));
    return refresh(block_);
  }

  // A refresh whose block gets `context` (held weakly) while it exists; once
  // it has gone, the refresh fails with "context is nil" (code 0) like any
  // failing block.
  template <class C, class F>
    requires std::is_invocable_r_v<Result<T>, F&, C&>
  std::shared_ptr<Future<T>> refresh(const std::shared_ptr<C>& context, F block) {
    return refresh([weak = std::weak_ptr<C>(context), block = std::move(block)]() mutable {
      const std::shared_ptr<C> strong = weak.lock();
      if (!strong) return Result<T>::wtf("context is nil", 0);
      return Result<T>(std::invoke(block, *strong));
    });
  }

  // refresh(), its future dropped: for chaining after make().
  Pointer refreshing() {
    refresh();
    return this->shared_from_this();
  }

 protected:
  template <class S, class... A>
  static std::shared_ptr<S> makeDerived(A&&... args) {
    return std::make_shared<S>(typename S::Passkey(), std::forward<A>(args)...);
  }

 private:
  // Sends objectWillChange() on the main queue, while the producer lives.
  void announceChange() {
    DispatchQueue::main().async([weak = this->weak_from_this()] {
      if (const auto producer = weak.lock()) producer->objectWillChange().send();
    });
  }

  // Publishes the count this change produced, outside the count's lock.
  // Two changes on two threads may publish in either order, which could
  // leave a stale count in the signal for good; so each publisher then
  // checks the signal against the count and republishes the count while
  // they differ. The last publisher always finds them equal, so once the
  // refreshes are over the signal holds the true count.
  void publishCount(std::int64_t change) {
    std::int64_t count = inProgressCount_.access([change](std::int64_t& n) { return n += change; });
    inProgress_->update(count);
    for (;;) {
      count = inProgressCount_.read();
      if (inProgress_->currentValue() == count) return;
      inProgress_->update(count);
    }
  }

  const std::shared_ptr<Pool> pool_;
  const typename Signal<T>::Pointer signal_;
  const typename Signal<std::int64_t>::Pointer inProgress_;
  const Block block_;
  LockedVar<std::int64_t> inProgressCount_{0};
};

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
