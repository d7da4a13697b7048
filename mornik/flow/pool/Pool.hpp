#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <tuple>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mornik/base/Error.hpp"
#include "mornik/base/ErrorFlow.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/concurrency/Task.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/flow/core/CancellationToken.hpp"
#include "mornik/flow/core/FlowRetainer.hpp"
#include "mornik/flow/core/FutureID.hpp"
#include "mornik/flow/core/JoinableValues.hpp"
#include "mornik/flow/future/Combine.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/flow/observe/Published.hpp"
#include "mornik/flow/pool/ErrorPool.hpp"
#include "mornik/flow/signal/CombineLatest.hpp"
#include "mornik/flow/signal/Signal.hpp"
#include "mornik/flow/signal/SignalsService.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

template <class R>
struct TaskTraits {
  static constexpr bool isTask = false;
};
template <class U>
struct TaskTraits<Task<U>> {
  static constexpr bool isTask = true;
  using Value = U;
};

// Runs the task that `makeTask()` returns as work of `queue` and completes
// `future` with its outcome (a throw from makeTask() itself is the failure).
template <class T, class M>
void completeWithTask(const std::shared_ptr<Flow::Future<T>>& future, const DispatchQueue& queue,
                      M& makeTask) {
  try {
    std::invoke(makeTask).start(
        queue, [future](Result<T> outcome) { future->complete(std::move(outcome)); });
  } catch (...) {
    future->complete(Error::fromCurrentException());
  }
}

// A future that continues `start` on `start`'s queue: when it is started,
// it registers on `start` (held weakly), which starts `start`; when `start`
// succeeds, `step(next)` completes it. `start` keeps the returned future
// alive, not the reverse, so the continuation runs only while someone holds
// `start`.
template <class T, class S>
std::shared_ptr<Flow::Future<T>> continueAfter(const std::shared_ptr<Flow::Future<void>>& start,
                                               S step) {
  auto next = Flow::Future<T>::make(
      start->queue(), [source = std::weak_ptr<Flow::Future<void>>(start),
                       step = std::move(step)](const std::shared_ptr<Flow::Future<T>>& self) {
        const std::shared_ptr<Flow::Future<void>> from = source.lock();
        if (!from) return;
        from->onSuccess(self->queue(), [self, step]() mutable { std::invoke(step, self); });
        from->onFailure(self->queue(), [self](const Error& error) { self->complete(error); });
      });
  start->retain(next);
  return next;
}

}  // namespace mornik::detail

namespace mornik::Flow {

// A block that returns a Result: the work of a pool future.
template <class F, class... A>
concept ResultReturningBlock =
    BlockTaking<F, A...> && IsResult<std::invoke_result_t<BlockRef<F>, A...>>;

// A block that returns a Task: asynchronous work of a pool future.
template <class F, class... A>
concept TaskReturningBlock =
    BlockTaking<F, A...> &&
    mornik::detail::TaskTraits<
        std::remove_cvref_t<std::invoke_result_t<BlockRef<F>, A...>>>::isTask;

// The same, given a context object (as `const std::shared_ptr<C>&`).
template <class F, class C>
concept ContextResultBlock = ResultReturningBlock<F, const std::shared_ptr<C>&>;
template <class F, class C>
concept ContextTaskBlock = TaskReturningBlock<F, const std::shared_ptr<C>&>;

// A block of cancellable work: `block(token)` returning a Result.
template <class F>
concept CancellableBlock = ResultReturningBlock<F, const CancellationToken&>;

// The success type of the Result (or the value type of the Task) that a
// block returns.
template <class F, class... A>
using ResultValueOf = typename mornik::detail::ResultTraits<
    std::remove_cvref_t<std::invoke_result_t<BlockRef<F>, A...>>>::Success;
template <class F, class... A>
using TaskValueOf = typename mornik::detail::TaskTraits<
    std::remove_cvref_t<std::invoke_result_t<BlockRef<F>, A...>>>::Value;

// The owner of asynchronous work in an application or a component: it makes
// futures on its queue and keeps them alive, so that a caller may fire work
// and drop its own reference; it keeps other objects alive on request;
// errors handed to it gather in its error pool; and it carries a type-keyed
// signal service.
//
//   auto pool = Flow::Pool::make(DispatchQueue("app.sync"));
//   pool->future([]() -> Result<int> { return syncNow(); })
//       ->failing(pool)                       // a failure lands in pool->errorPool()
//       .onSuccess(DispatchQueue::main(), [](int n) { showSynced(n); });
//   // no reference kept: the pool holds the future until discard(id)
//   pool->forwardErrors(appErrors);           // and on to an application-wide sink
//
// Futures: every future a factory makes is in the pool's table, keyed by its
// FutureID, before the factory returns it; so is every future handed to
// retain(). The pool never removes one of those by itself: it stays
// (completed or not) until discard(id) or the pool's end. Futures still
// start lazily: a pool future nobody registers on or waits for stays
// unstarted. The futures the pool makes for work no caller can name (the
// values of Signal::onUpdate(pool:…), so every document write) leave the
// table once they have completed and their handler has run, so that a long
// stream of values holds no memory.
//
// Queues: a factory given no queue makes its future on the pool's queue.
// The error pool's signal, and so forwardErrors(), run on the main queue.
//
// Ownership: the pool owns its error pool, its table of futures, the objects
// handed to retain() and its signal service. When the pool goes, futures
// nobody else holds go with it, and their pending handlers do nothing.
// Blocks the pool's futures run should not capture the pool strongly (that
// keeps the pool alive through its own table); pass it as a context.
//
// Thread safety: every member may be called from any thread. The table, the
// retained objects and the signal service each have their own short lock;
// no operation holds two, and no block runs under any. Objects that leave
// the table (discard(), a replaced entry) are released after its lock.
//
// Subclasses may override hasRecentError(), signals() / setSignals() /
// modifySignals(), retain() of an object, retainFuture(), append() and
// forwardErrors(); they construct through makeDerived().
class Pool : public FlowRetainer, public ErrorFlow, public std::enable_shared_from_this<Pool> {
 protected:
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Pointer = std::shared_ptr<Pool>;

  // A pool whose futures run on `queue` unless a factory names another. Its
  // error pool is new and empty; its signal service is new, on
  // DispatchQueue::global().
  static Pointer make(DispatchQueue queue) { return makeDerived<Pool>(std::move(queue)); }

  Pool(Passkey /*unused*/, DispatchQueue queue);
  ~Pool() override;
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // ---- Fields ----

  // This pool's own error pool.
  const std::shared_ptr<ErrorPool>& errorPool() const noexcept { return errorPool_; }
  // The default queue of the futures the pool makes.
  const DispatchQueue& queue() const noexcept { return queue_; }

  // The pool's type-keyed publish/subscribe service; it can be replaced.
  virtual std::shared_ptr<SignalsService> signals() const MORNIK_EXCLUDES(signalsLock_);
  virtual void setSignals(std::shared_ptr<SignalsService> service) MORNIK_EXCLUDES(signalsLock_);
  // Changes the service in place, under its lock: `change` must be short
  // and must not touch this pool's service again.
  virtual void modifySignals(const std::function<void(std::shared_ptr<SignalsService>&)>& change)
      MORNIK_EXCLUDES(signalsLock_);

  // ---- Holding things alive ----

  // Keeps `object` alive until the pool is destroyed.
  void retain(std::shared_ptr<const void> object) override MORNIK_EXCLUDES(containerLock_);

  // Puts `future` in the table under its id (replacing an entry for the
  // same id) and returns it.
  template <class T>
  std::shared_ptr<Future<T>> retain(std::shared_ptr<Future<T>> future) {
    const FutureID id = future->id();
    retainFuture(id, FutureRef{future});
    return future;
  }

  // The step behind retain() of a future: stores `ref` under `id`.
  virtual void retainFuture(const FutureID& id, FutureRef ref) MORNIK_EXCLUDES(futuresLock_);

  // Removes the future with this id from the table, if it is there. A
  // future of cancellableFuture() is cancelled first (its token's action
  // fails it with cancelledError() unless it completed already); any other
  // future is neither cancelled nor completed. Then the future loses the
  // pool's reference (and goes, with its handlers, if nobody else holds it).
  void discard(const FutureID& id) MORNIK_EXCLUDES(futuresLock_);

  // Whether the table holds a future with this id.
  bool holds(const FutureID& id) const MORNIK_EXCLUDES(futuresLock_);
  // How many futures the table holds.
  std::size_t futureCount() const MORNIK_EXCLUDES(futuresLock_);

  // ---- Making futures; q below is `queue`, or the pool's queue ----

  // A future on q whose work completes it with what `block()` returns.
  template <class F>
    requires ResultReturningBlock<F>
  std::shared_ptr<Future<ResultValueOf<F>>> future(std::optional<DispatchQueue> queue, F&& block) {
    return retain(Future<ResultValueOf<F>>::make(queueOr(queue), std::forward<F>(block)));
  }

  // A future on q whose asynchronous work is the task `block()` returns: it
  // completes with the task's value, or with its exception as the failure.
  template <class F>
    requires TaskReturningBlock<F>
  std::shared_ptr<Future<TaskValueOf<F>>> future(std::optional<DispatchQueue> queue, F&& block) {
    return retain(Future<TaskValueOf<F>>::make(queueOr(queue), std::forward<F>(block)));
  }

  // Either form on the pool's queue.
  template <class F>
    requires(ResultReturningBlock<F> || TaskReturningBlock<F>)
  auto future(F&& block) {
    return future(std::nullopt, std::forward<F>(block));
  }

  // A future on q whose work completes it with what `block(token)` returns;
  // the work may poll the token to stop early. discard(id) cancels the
  // token: the future fails at once with cancelledError() unless it has
  // completed (then nothing changes), a result the work returns later is
  // ignored, and work that has not started does not run. Cancelling a
  // second time does nothing.
  template <class F>
    requires CancellableBlock<F>
  std::shared_ptr<Future<ResultValueOf<F, const CancellationToken&>>> cancellableFuture(
      std::optional<DispatchQueue> queue, F&& block) {
    using T = ResultValueOf<F, const CancellationToken&>;
    const CancellationToken token;
    auto future = Future<T>::make(
        queueOr(queue),
        [token, block = std::decay_t<F>(std::forward<F>(block))]() mutable -> Result<T> {
          if (token.isCancelled()) return cancelledError();
          Result<T> result = std::invoke(block, std::as_const(token));
          // Cancelled meanwhile: the cancellation's failure, whichever of
          // the two completes the future first.
          if (token.isCancelled()) return cancelledError();
          return result;
        });
    token.onCancel([weak = std::weak_ptr<Future<T>>(future)] {
      if (const auto cancelled = weak.lock()) cancelled->complete(cancelledError());
    });
    retain(future);
    retainToken(future->id(), token);
    return future;
  }
  template <class F>
    requires CancellableBlock<F>
  auto cancellableFuture(F&& block) {
    return cancellableFuture(std::nullopt, std::forward<F>(block));
  }

  // A future on q whose work is `block(future)`: the block completes the
  // future it is given, now or later.
  template <class T, class F>
    requires FutureWorkBlock<F, T>
  std::shared_ptr<Future<T>> promise(std::optional<DispatchQueue> queue, F&& block) {
    return retain(Future<T>::make(queueOr(queue), std::forward<F>(block)));
  }
  template <class T, class F>
    requires FutureWorkBlock<F, T>
  std::shared_ptr<Future<T>> promise(F&& block) {
    return promise<T>(std::nullopt, std::forward<F>(block));
  }

  // With a context, held weakly: work on q that calls `block(context)`, or
  // `block(nullptr)` when the context has gone, and completes with its
  // Result. The table holds a start future (on q, which succeeds at once);
  // the returned future continues it on q and lives through it.
  template <class C, class F>
    requires ContextResultBlock<F, C>
  auto future(std::optional<DispatchQueue> queue, const std::shared_ptr<C>& context, F&& block) {
    using T = ResultValueOf<F, const std::shared_ptr<C>&>;
    return mornik::detail::continueAfter<T>(
        startFuture(queue),
        [weak = std::weak_ptr<C>(context), block = std::decay_t<F>(std::forward<F>(block))](
            const std::shared_ptr<Future<T>>& next) mutable {
          const std::shared_ptr<C> alive = weak.lock();
          next->complete(std::invoke(block, alive));
        });
  }

  // With a context, held strongly by the work: asynchronous work on q that
  // runs the task `block(context)` and completes with its value, or with
  // its exception as the failure. The table holds a start future, as above.
  // A coroutine block should take the context by value, so that its frame
  // owns it.
  template <class C, class F>
    requires ContextTaskBlock<F, C>
  auto future(std::optional<DispatchQueue> queue, const std::shared_ptr<C>& context, F&& block) {
    using T = TaskValueOf<F, const std::shared_ptr<C>&>;
    return mornik::detail::continueAfter<T>(
        startFuture(queue), [context, block = std::decay_t<F>(std::forward<F>(block))](
                                const std::shared_ptr<Future<T>>& next) mutable {
          auto makeTask = [&] { return std::invoke(block, context); };
          mornik::detail::completeWithTask(next, next->queue(), makeTask);
        });
  }

  // Both context forms on the pool's queue.
  template <class C, class F>
    requires(ContextResultBlock<F, C> || ContextTaskBlock<F, C>)
  auto future(const std::shared_ptr<C>& context, F&& block) {
    return future(std::nullopt, context, std::forward<F>(block));
  }

  // ---- Combinators (over the combiners of Combine.hpp and CombineLatest.hpp) ----

  // A future of the tuple of the sources' values, in source order: it
  // succeeds once every source has, or fails with the first failure. The
  // pool keeps the combiner (an FCombine, whose handlers run on its own
  // serial queue) alive; the sources are not held.
  template <class... T>
    requires JoinableValues<T...>
  std::shared_ptr<Future<std::tuple<T...>>> combine(const std::shared_ptr<Future<T>>&... sources);

  // A signal of the tuple of the sources' latest values, in source order,
  // once every source has delivered one. The pool keeps the combiner (an
  // SCombineLatest) alive; the sources are not held.
  template <class... T>
    requires JoinableValues<T...>
  std::shared_ptr<Signal<std::tuple<T...>>> combineLatest(
      const std::shared_ptr<Signal<T>>&... sources);

  // The same over published properties, each first bridged into a signal by
  // flow(property, *this), in argument order: the pool owns the bridges.
  template <class... T>
    requires JoinableValues<T...>
  std::shared_ptr<Signal<std::tuple<T...>>> combineLatest(Published<T>&... properties);

  // ---- Errors ----

  // Appends `error` to the error pool, which publishes it.
  void append(const Error& error) override;

  // Hands every error of the error pool to `target` (held weakly) on the
  // main queue, starting with the error it holds as the most recent, if
  // any.
  void forwardErrors(const std::shared_ptr<ErrorFlow>& target) override;

  // Whether the error pool holds a most recent error.
  virtual bool hasRecentError() const;

 protected:
  // Creates a pool of class S (constructed with a Passkey and `args`).
  template <class S, class... A>
  static std::shared_ptr<S> makeDerived(A&&... args) {
    return std::make_shared<S>(Passkey(), std::forward<A>(args)...);
  }

 private:
  DispatchQueue queueOr(std::optional<DispatchQueue>& queue) const {
    if (queue) return std::move(*queue);
    return queue_;
  }

  // Keeps the token of the cancellable future `id`, for discard().
  void retainToken(const FutureID& id, CancellationToken token) MORNIK_EXCLUDES(futuresLock_);

  // The start future of the context forms, in the table.
  std::shared_ptr<Future<void>> startFuture(std::optional<DispatchQueue>& queue);

  template <class T>
  friend class Signal;

  // Work that no caller can name (a value run by Signal::onUpdate(pool:…)):
  // `block()`, returning Result<void>, as a future on the pool's queue that
  // is in the table only until it has completed and its handler has run; a
  // failure goes to the error pool.
  template <class F>
  void runUnnamed(F&& block);

  const std::shared_ptr<ErrorPool> errorPool_;
  mutable UnfairLock futuresLock_;
  std::unordered_map<FutureID, FutureRef> futures_ MORNIK_GUARDED_BY(futuresLock_);
  std::unordered_map<FutureID, CancellationToken> tokens_ MORNIK_GUARDED_BY(futuresLock_);
  mutable UnfairLock containerLock_;
  std::vector<std::shared_ptr<const void>> container_ MORNIK_GUARDED_BY(containerLock_);
  const DispatchQueue queue_;
  mutable UnfairLock signalsLock_;
  std::shared_ptr<SignalsService> signals_ MORNIK_GUARDED_BY(signalsLock_);
};

// ---- Members of Future and Signal that work with a pool ----

template <class T>
Future<T>& Future<T>::failing(const std::shared_ptr<Pool>& pool) {
  return onFailure([weak = std::weak_ptr<Pool>(pool)](const Error& error) {
    if (const std::shared_ptr<Pool> alive = weak.lock()) alive->errorPool()->append(error);
  });
}

template <class T>
template <class F>
  requires BlockTaking<F, const T&>
Signal<T>& Signal<T>::onUpdate(const std::shared_ptr<Pool>& pool, F&& block) {
  static_assert(std::is_convertible_v<std::invoke_result_t<BlockRef<F>, const T&>, Result<void>>,
                "a block run through a pool returns a Result<void>");
  // One block, shared by the futures of every value (which may run at the
  // same time on a concurrent pool queue).
  auto shared = std::make_shared<std::decay_t<F>>(std::forward<F>(block));
  return onUpdate(std::nullopt, [weak = std::weak_ptr<Pool>(pool), shared](const T& value) {
    const std::shared_ptr<Pool> alive = weak.lock();
    if (!alive) return;
    alive->runUnnamed([shared, value]() -> Result<void> { return std::invoke(*shared, value); });
  });
}

template <class F>
void Pool::runUnnamed(F&& block) {
  auto future = retain(Future<void>::make(queue_, std::forward<F>(block)));
  // One handler, so that the failure reaches the error pool before the
  // future leaves the table (and releases its handlers).
  future->onComplete([weak = weak_from_this(), id = future->id()](const Result<void>& result) {
    const std::shared_ptr<Pool> pool = weak.lock();
    if (!pool) return;
    if (result.isFailure()) pool->errorPool()->append(result.error());
    pool->discard(id);
  });
}

}  // namespace mornik::Flow

// The combinators, defined over their combiner classes.
namespace mornik::Flow {

// ---- Pool::combine ----

template <class... T>
  requires JoinableValues<T...>
std::shared_ptr<Future<std::tuple<T...>>> Pool::combine(
    const std::shared_ptr<Future<T>>&... sources) {
  // No queue: the handlers run on the combiner's own serial queue.
  auto combiner = FCombine<T...>::make(sources...);
  retain(std::shared_ptr<const void>(combiner));
  return combiner->final();
}

// ---- Pool::combineLatest ----

template <class... T>
  requires JoinableValues<T...>
std::shared_ptr<Signal<std::tuple<T...>>> Pool::combineLatest(
    const std::shared_ptr<Signal<T>>&... sources) {
  auto combiner = SCombineLatest<T...>::make(sources...);
  retain(std::shared_ptr<const void>(combiner));
  return combiner->signal();
}

template <class... T>
  requires JoinableValues<T...>
std::shared_ptr<Signal<std::tuple<T...>>> Pool::combineLatest(Published<T>&... properties) {
  // A braced list runs its elements in order: the properties are bridged in
  // argument order.
  std::tuple<std::shared_ptr<Signal<T>>...> signals{flow(properties, *this)...};
  return std::apply(
      [this](const std::shared_ptr<Signal<T>>&... bridged) { return combineLatest(bridged...); },
      signals);
}

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
