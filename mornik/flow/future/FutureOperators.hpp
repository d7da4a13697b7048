#pragma once

#include <concepts>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/Task.hpp"
#include "mornik/flow/core/Handler.hpp"
#include "mornik/flow/signal/Signal.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

template <class T>
class Future;

}  // namespace mornik::Flow

namespace mornik::detail {

template <class T>
class FutureWork;

template <class R>
struct IsTaskOf : std::false_type {};
template <class U>
struct IsTaskOf<Task<U>> : std::true_type {
  using Value = U;
};

template <class R>
struct IsFuturePointerOf : std::false_type {};
template <class U>
struct IsFuturePointerOf<std::shared_ptr<Flow::Future<U>>> : std::true_type {
  using Value = U;
};

// What a block that receives a success value of a Future<T> returns: its
// result for `block(value)`, or for `block()` when T is void.
template <class F, class T>
struct SuccessBlockResult {
  using Type = std::invoke_result_t<Flow::BlockRef<F>, const T&>;
};
template <class F>
struct SuccessBlockResult<F, void> {
  using Type = std::invoke_result_t<Flow::BlockRef<F>>;
};
template <class F, class T>
using SuccessBlockResultT = std::remove_cvref_t<typename SuccessBlockResult<F, T>::Type>;

// `block(value)`, or `block()` for a Result<void>, on a successful result.
template <class F, class T>
decltype(auto) invokeOnSuccess(F& block, const Result<T>& result) {
  if constexpr (std::is_void_v<T>) {
    return std::invoke(block);
  } else {
    return std::invoke(block, result.value());
  }
}

// What a plain block returns, as a Result<U> (a void block succeeds).
template <class U, class F, class T>
Result<U> resultOfSuccessBlock(F& block, const Result<T>& result) {
  if constexpr (std::is_void_v<U>) {
    invokeOnSuccess(block, result);
    return Result<U>();
  } else {
    return Result<U>(invokeOnSuccess(block, result));
  }
}

// The task of an asynchronous block, awaited inside a coroutine that owns a
// copy of the argument: the block may take it by reference and suspend, while
// the delivery that handed over the original is long gone. `block` must live
// until the task ends (operators keep it in the derived future, which the
// task's completion holds).
template <class U, class F, class... V>
Task<U> awaitBlock(F* block, V... argument) {
  if constexpr (std::is_void_v<U>) {
    co_await std::invoke(*block, std::as_const(argument)...);
  } else {
    co_return co_await std::invoke(*block, std::as_const(argument)...);
  }
}

// Starts `task` as work of the derived future's queue and completes the
// derived future with its value or its exception.
template <class U>
void completeFromTask(Task<U> task, const std::shared_ptr<Flow::Future<U>>& derived) {
  std::move(task).start(derived->queue(),
                        [derived](Result<U> outcome) { derived->complete(std::move(outcome)); });
}

// Completes `derived` with the outcome of `inner` once it has one, without
// blocking a thread: `derived` keeps `inner` alive, and the handler on `inner`
// holds `derived` weakly (so the two never keep each other alive).
template <class U>
void completeFromFuture(const std::shared_ptr<Flow::Future<U>>& inner,
                        const std::shared_ptr<Flow::Future<U>>& derived) {
  if (!inner) {
    derived->complete(WTF("the block returned no future", 0));
    return;
  }
  derived->retain(inner);
  inner->completing(derived, derived->queue(), false);
}

// The outcome of the value a flatMap block (or a flatMapError block) returned:
// a Result, a future or a task.
template <class U, class R>
void completeFromReturned(R returned, const std::shared_ptr<Flow::Future<U>>& derived) {
  if constexpr (IsTaskOf<R>::value) {
    completeFromTask<U>(std::move(returned), derived);
  } else if constexpr (IsFuturePointerOf<R>::value) {
    completeFromFuture<U>(returned, derived);
  } else {
    derived->complete(Result<U>(std::move(returned)));
  }
}

}  // namespace mornik::detail

namespace mornik::Flow {

// A block for map() on a Future<T>: takes the success value (nothing for a
// Future<void>) and returns a plain value, nothing, or a Task of a value.
template <class F, class T>
concept MapBlock =
    ValueBlock<F, T> && !IsResult<mornik::detail::SuccessBlockResultT<F, T>> &&
    !mornik::detail::IsFuturePointerOf<mornik::detail::SuccessBlockResultT<F, T>>::value;

// A block for flatMap() on a Future<T>: takes the success value and returns a
// Result, a future or a Task.
template <class F, class T>
concept FlatMapBlock =
    ValueBlock<F, T> &&
    (IsResult<mornik::detail::SuccessBlockResultT<F, T>> ||
     mornik::detail::IsFuturePointerOf<mornik::detail::SuccessBlockResultT<F, T>>::value ||
     mornik::detail::IsTaskOf<mornik::detail::SuccessBlockResultT<F, T>>::value);

// A block for flatMapError() on a Future<T>: takes the error and returns
// something convertible to Result<T> (a Result<T>, a T, an Error), a
// Future<T> or a Task<T>.
template <class F, class T>
concept RecoveryBlock =
    BlockTaking<F, const Error&> &&
    (std::convertible_to<std::invoke_result_t<BlockRef<F>, const Error&>, Result<T>> ||
     std::same_as<std::remove_cvref_t<std::invoke_result_t<BlockRef<F>, const Error&>>,
                  std::shared_ptr<Future<T>>> ||
     std::same_as<std::remove_cvref_t<std::invoke_result_t<BlockRef<F>, const Error&>>, Task<T>>);

// The operators of Future<T>: futures derived from it (map, flatMap,
// flatMapError), forwarding of its outcome to another future or to a signal
// (completing, updating, updatingError) and writes of its outcome into
// properties of objects (assign, append, assignFailure, appendFailure).
// Future<T> inherits them; they use only its public core (creation,
// complete, registration, retain).
//
//   auto count = fetchCount();  // a Future<int>, held here (or by a pool) while it runs
//   count->map([](int n) { return n * 2; })
//       ->flatMap(parseQueue, [](int n) -> Result<std::string> { return describe(n); })
//       ->flatMapError([](const Error&) { return std::string("unknown"); })
//       ->assign(model, &Model::label, DispatchQueue::main());  // starts the chain
//
// Derived futures. Let Q be the queue given, else the source's queue. An
// operator creates a future on Q, makes the source retain it, and returns it
// without starting anything. When the derived future starts (a registration
// on it, or wait()), its work registers one complete-handler on the source, on
// Q, which starts the source; the handler completes the derived future as the
// table says. The caller's block therefore runs on Q, at most once per start.
// A block that throws completes the derived future with the thrown error
// (Error::fromCurrentException). The registration runs no caller code, so it
// happens within the starting call rather than as a task on Q: starting the
// last link of a chain reaches the root at once.
//
//   operator       block returns        source succeeds with v      source fails with e
//   map            U (or void)          success(block(v))           failure(e)
//   map            Task<U>              the task's value or throw   failure(e)
//   flatMap        Result<U>            block(v)                    failure(e)
//   flatMap        Future<U> pointer    that future's result        failure(e)
//   flatMap        Task<U>              the task's value or throw   failure(e)
//   flatMapError   Result<T>-like       success(v)                  block(e)
//   flatMapError   Future<T> pointer    success(v)                  that future's result
//   flatMapError   Task<T>              success(v)                  the task's value or throw
//
// A task returned by a block runs as work of Q; the block's argument stays
// alive (copied into the task) until the task ends. A returned future is
// followed without blocking a thread: the derived future keeps it alive and
// completes, on Q, when it does.
//
// Ownership: the source keeps each derived future alive; a derived future
// holds its source only weakly. A chain therefore runs only while someone
// holds its root: if the source is gone when a derived future starts, the
// derived future registers nothing and never completes. Releasing the last
// link of a chain whose root is held changes nothing: the root still keeps
// every link, and a started chain still completes.
//
// Forwarding and property writes return the source, for chaining. The
// forwarding operators take an optional queue (else the source's queue) and
// hold their target strongly with `retain` true (the source keeps it alive),
// weakly otherwise (nothing is forwarded once it is gone). Property writes
// take a required queue (the write runs there) and hold their object weakly
// (nothing is written once it is gone). Like any registration, they start
// the source's work.
//
// Thread safety: every operator may be called from any thread.
template <class T>
class FutureOperators {
 public:
  // ---- Derived futures ----

  // A future of what `block` makes of the success value; a failure passes
  // through without calling the block. A block returning Task<U> gives a
  // Future<U> that completes with the task's outcome.
  template <class F>
    requires MapBlock<F, T>
  [[nodiscard]] auto map(std::optional<DispatchQueue> queue, F&& block) {
    using R = mornik::detail::SuccessBlockResultT<F, T>;
    if constexpr (mornik::detail::IsTaskOf<R>::value) {
      return flatMap(std::move(queue), std::forward<F>(block));
    } else {
      return derive<R>(std::move(queue), std::forward<F>(block),
                       [](std::decay_t<F>& fn, const Result<T>& result,
                          const std::shared_ptr<Future<R>>& derived) {
                         if (result.isFailure()) {
                           derived->complete(result.error());
                         } else {
                           derived->complete(mornik::detail::resultOfSuccessBlock<R>(fn, result));
                         }
                       });
    }
  }
  template <class F>
    requires MapBlock<F, T>
  [[nodiscard]] auto map(F&& block) {
    return map(std::nullopt, std::forward<F>(block));
  }

  // A future of the Result, future or task that `block` returns for the
  // success value; a failure passes through without calling the block.
  template <class F>
    requires FlatMapBlock<F, T>
  [[nodiscard]] auto flatMap(std::optional<DispatchQueue> queue, F&& block) {
    using R = mornik::detail::SuccessBlockResultT<F, T>;
    using U = typename decltype(valueOfReturned<R>())::type;
    return derive<U>(std::move(queue), std::forward<F>(block),
                     [](std::decay_t<F>& fn, const Result<T>& result,
                        const std::shared_ptr<Future<U>>& derived) {
                       if (result.isFailure()) {
                         derived->complete(result.error());
                         return;
                       }
                       if constexpr (mornik::detail::IsTaskOf<R>::value) {
                         if constexpr (std::is_void_v<T>) {
                           mornik::detail::completeFromTask<U>(mornik::detail::awaitBlock<U>(&fn),
                                                               derived);
                         } else {
                           mornik::detail::completeFromTask<U>(
                               mornik::detail::awaitBlock<U>(&fn, result.value()), derived);
                         }
                       } else {
                         mornik::detail::completeFromReturned<U>(
                             mornik::detail::invokeOnSuccess(fn, result), derived);
                       }
                     });
  }
  template <class F>
    requires FlatMapBlock<F, T>
  [[nodiscard]] auto flatMap(F&& block) {
    return flatMap(std::nullopt, std::forward<F>(block));
  }

  // A future that succeeds as the source does, and on a failure completes
  // with what `block(error)` returns: a Result<T> (or a T, or an Error), a
  // future of T or a Task<T>.
  template <class F>
    requires RecoveryBlock<F, T>
  [[nodiscard]] std::shared_ptr<Future<T>> flatMapError(std::optional<DispatchQueue> queue,
                                                        F&& block) {
    using R = std::remove_cvref_t<std::invoke_result_t<BlockRef<F>, const Error&>>;
    return derive<T>(std::move(queue), std::forward<F>(block),
                     [](std::decay_t<F>& fn, const Result<T>& result,
                        const std::shared_ptr<Future<T>>& derived) {
                       if (result.isSuccess()) {
                         derived->complete(result);
                       } else if constexpr (mornik::detail::IsTaskOf<R>::value) {
                         mornik::detail::completeFromTask<T>(
                             mornik::detail::awaitBlock<T>(&fn, result.error()), derived);
                       } else if constexpr (mornik::detail::IsFuturePointerOf<R>::value) {
                         mornik::detail::completeFromFuture<T>(std::invoke(fn, result.error()),
                                                               derived);
                       } else {
                         derived->complete(Result<T>(std::invoke(fn, result.error())));
                       }
                     });
  }
  template <class F>
    requires RecoveryBlock<F, T>
  [[nodiscard]] std::shared_ptr<Future<T>> flatMapError(F&& block) {
    return flatMapError(std::nullopt, std::forward<F>(block));
  }

  // ---- Forwarding; each returns the source ----

  // Completes `other` with this future's result, on `queue` (else this
  // future's queue).
  Future<T>& completing(const std::shared_ptr<Future<T>>& other, std::optional<DispatchQueue> queue,
                        bool retain) {
    if (retain) {
      return self().onComplete(std::move(queue),
                               [other](const Result<T>& result) { other->complete(result); });
    }
    return self().onComplete(
        other, std::move(queue),
        [](Future<T>& target, const Result<T>& result) { target.complete(result); });
  }
  Future<T>& completing(const std::shared_ptr<Future<T>>& other, bool retain) {
    return completing(other, std::nullopt, retain);
  }

  // Updates `signal` with the success value, on `queue` (else this future's
  // queue).
  template <class U = T>
    requires(!std::is_void_v<U>)
  Future<T>& updating(const std::shared_ptr<Signal<U>>& signal, std::optional<DispatchQueue> queue,
                      bool retain) {
    if (retain) {
      return self().onSuccess(std::move(queue),
                              [signal](const U& value) { signal->update(value); });
    }
    return self().onSuccess(signal, std::move(queue),
                            [](Signal<U>& target, const U& value) { target.update(value); });
  }
  template <class U = T>
    requires(!std::is_void_v<U>)
  Future<T>& updating(const std::shared_ptr<Signal<U>>& signal, bool retain) {
    return updating(signal, std::nullopt, retain);
  }

  // Updates a signal of errors with the failure, on `queue` (else this
  // future's queue).
  Future<T>& updatingError(const std::shared_ptr<Signal<Error>>& signal,
                           std::optional<DispatchQueue> queue, bool retain) {
    if (retain) {
      return self().onFailure(std::move(queue),
                              [signal](const Error& error) { signal->update(error); });
    }
    return self().onFailure(
        signal, std::move(queue),
        [](Signal<Error>& target, const Error& error) { target.update(error); });
  }
  Future<T>& updatingError(const std::shared_ptr<Signal<Error>>& signal, bool retain) {
    return updatingError(signal, std::nullopt, retain);
  }

  // ---- Writes into properties of an object held weakly; each returns the
  // source ----

  // Writes the success value, on `queue`, into a property of `object`: a
  // data member of type T or std::optional<T> (`&Model::count`), or a setter
  // callable `(C&, const T&)` (a member function such as `&Model::setName`).
  template <class C, class M, class U = T>
    requires(!std::is_void_v<U> && std::is_assignable_v<M&, const U&>)
  Future<T>& assign(const std::shared_ptr<C>& object, M C::*property, DispatchQueue queue) {
    return self().onSuccess(object, std::move(queue),
                            [property](C& target, const U& value) { target.*property = value; });
  }
  template <class C, class S, class U = T>
    requires(!std::is_void_v<U> && !std::is_member_object_pointer_v<std::decay_t<S>> &&
             BlockTaking<S, C&, const U&>)
  Future<T>& assign(const std::shared_ptr<C>& object, S&& setter, DispatchQueue queue) {
    return self().onSuccess(object, std::move(queue), std::forward<S>(setter));
  }

  // Appends the success value, on `queue`, to a list property of `object`: a
  // data member with push_back (`&Model::log`), or a modifier callable
  // `(C&, const T&)` that appends in place.
  template <class C, class M, class U = T>
    requires(!std::is_void_v<U> && requires(M& list, const U& value) { list.push_back(value); })
  Future<T>& append(const std::shared_ptr<C>& object, M C::*property, DispatchQueue queue) {
    return self().onSuccess(object, std::move(queue), [property](C& target, const U& value) {
      (target.*property).push_back(value);
    });
  }
  template <class C, class S, class U = T>
    requires(!std::is_void_v<U> && !std::is_member_object_pointer_v<std::decay_t<S>> &&
             BlockTaking<S, C&, const U&>)
  Future<T>& append(const std::shared_ptr<C>& object, S&& modifier, DispatchQueue queue) {
    return self().onSuccess(object, std::move(queue), std::forward<S>(modifier));
  }

  // Writes the failure, on `queue`, into a property of `object`: a data
  // member of type Error or std::optional<Error>, or a setter callable
  // `(C&, const Error&)`.
  template <class C, class M>
    requires std::is_assignable_v<M&, const Error&>
  Future<T>& assignFailure(const std::shared_ptr<C>& object, M C::*property, DispatchQueue queue) {
    return self().onFailure(object, std::move(queue), [property](C& target, const Error& error) {
      target.*property = error;
    });
  }
  template <class C, class S>
    requires(!std::is_member_object_pointer_v<std::decay_t<S>> && BlockTaking<S, C&, const Error&>)
  Future<T>& assignFailure(const std::shared_ptr<C>& object, S&& setter, DispatchQueue queue) {
    return self().onFailure(object, std::move(queue), std::forward<S>(setter));
  }

  // Appends the failure, on `queue`, to a list property of `object`: a data
  // member with push_back, or a modifier callable `(C&, const Error&)`.
  template <class C, class M>
    requires requires(M& list, const Error& error) { list.push_back(error); }
  Future<T>& appendFailure(const std::shared_ptr<C>& object, M C::*property, DispatchQueue queue) {
    return self().onFailure(object, std::move(queue), [property](C& target, const Error& error) {
      (target.*property).push_back(error);
    });
  }
  template <class C, class S>
    requires(!std::is_member_object_pointer_v<std::decay_t<S>> && BlockTaking<S, C&, const Error&>)
  Future<T>& appendFailure(const std::shared_ptr<C>& object, S&& modifier, DispatchQueue queue) {
    return self().onFailure(object, std::move(queue), std::forward<S>(modifier));
  }

 protected:
  FutureOperators() = default;
  ~FutureOperators() = default;
  FutureOperators(const FutureOperators&) = default;
  FutureOperators& operator=(const FutureOperators&) = default;

 private:
  Future<T>& self() { return static_cast<Future<T>&>(*this); }

  template <class R>
  static auto valueOfReturned() {
    if constexpr (mornik::detail::IsTaskOf<R>::value) {
      return std::type_identity<typename mornik::detail::IsTaskOf<R>::Value>();
    } else if constexpr (mornik::detail::IsFuturePointerOf<R>::value) {
      return std::type_identity<typename mornik::detail::IsFuturePointerOf<R>::Value>();
    } else {
      return std::type_identity<typename R::Success>();
    }
  }

  // The common shape of the derived futures: a Future<U> on Q whose work,
  // when started, registers one complete-handler on the source (if it still
  // exists) on Q; the handler calls `onResult(block, result, derived)`.
  //
  // The caller's block lives in the derived future's work, which lives as
  // long as the derived future (and its clones). The handler holds the
  // derived future strongly, so the block it reaches through it stays valid
  // while it runs; the source holds the handler, and no one holds the source
  // through the derived future.
  template <class U, class F, class OnResult>
  std::shared_ptr<Future<U>> derive(std::optional<DispatchQueue> queue, F&& block,
                                    OnResult onResult) {
    Future<T>& source = self();
    DispatchQueue q = queue ? std::move(*queue) : source.queue();
    auto derived = Future<U>::template allocateWithWork<DerivedWork<U, std::decay_t<F>, OnResult>>(
        std::move(q), source.weak_from_this(), std::decay_t<F>(std::forward<F>(block)),
        std::move(onResult));
    source.retain(derived);
    return derived;
  }

  // The work of a derived future, kept in its allocation. Started, it
  // registers the complete-handler on the source; the handler holds only the
  // derived future and finds the block through it, so that it fits the
  // smallest block class. The registration runs no caller code and takes no
  // lock of the starting caller, so it starts inline.
  template <class U, class B, class OnResult>
  class DerivedWork final : public mornik::detail::FutureWork<U> {
   public:
    DerivedWork(std::weak_ptr<Future<T>> source, B block, OnResult onResult)
        : source_(std::move(source)), block_(std::move(block)), onResult_(std::move(onResult)) {}

    void run(std::shared_ptr<Future<U>> started) const override {
      const std::shared_ptr<Future<T>> source = source_.lock();
      if (!source) return;
      DispatchQueue queue = started->queue();
      source->onComplete(std::move(queue), Delivery{std::move(started)});
    }
    bool startsInline() const noexcept override { return true; }

   private:
    // The handler's block. It names the derived future's completion as
    // what it writes first, so that the future is fetched while the delivery
    // waits: by then it was last touched when the chain was built, and is
    // usually out of the cache.
    struct Delivery {
      std::shared_ptr<Future<U>> started;
      void operator()(const Result<T>& result) const {
        static_cast<const DerivedWork&>(*started->work_).deliver(result, started);
      }
      const void* prefetchTarget() const noexcept { return started->completionTarget(); }
    };

    void deliver(const Result<T>& result, const std::shared_ptr<Future<U>>& started) const {
      try {
        onResult_(block_, result, started);
      } catch (...) {
        started->complete(Error::fromCurrentException());
      }
    }

    std::weak_ptr<Future<T>> source_;
    mutable B block_;  // called like a std::function: a mutable block may change
    mutable OnResult onResult_;
  };
};

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
