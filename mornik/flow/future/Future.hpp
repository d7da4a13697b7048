#pragma once

#include <array>
#include <atomic>
#include <concepts>
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/AsyncResult.hpp"
#include "mornik/concurrency/BlockingWait.hpp"
#include "mornik/concurrency/CompletionLatch.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/concurrency/PoolAllocator.hpp"
#include "mornik/concurrency/SpinLock.hpp"
#include "mornik/concurrency/Task.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/flow/core/FlowRetainer.hpp"
#include "mornik/flow/core/FutureID.hpp"
#include "mornik/flow/core/Handler.hpp"
#include "mornik/flow/future/FutureOperators.hpp"
#include "mornik/flow/observe/Scoped.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

namespace detail {

// failure(WTF("F.result can't be nil WTF", 0)): what wait() returns if it is
// released without a stored result.
Error futureResultMissing();

}  // namespace detail

namespace Flow {
template <class T>
class Future;
class Pool;
}  // namespace Flow

namespace detail {

template <class T>
class FutureAwaiter;

// The kinds of a future's handlers (HandlerCore::kind).
enum class FutureHandlerKind : std::uint8_t { complete, success, failure };

// A retained object past the first, in a list a future keeps.
struct RetainedNode {
  std::shared_ptr<const void> object;
  RetainedNode* next = nullptr;
};

// Releases what a dying future held: its handlers (a list linked through
// HandlerCore::next, each released once) and its retained objects. A future
// that dies while another future's things are being released on the same
// thread (a source releasing the derived futures it kept, whose own derived
// futures go with them, ...) hands its things to that outer release, which
// releases them in a loop: however long a chain of futures is, its release
// never nests destructors more than a few levels deep.
void releaseFutureEntries(HandlerCore* handlers, std::shared_ptr<const void>& firstRetained,
                          RetainedNode* retained) noexcept;

// Test seams: points between two steps of a future's start, registration
// and completion, where a test can force another thread's step in between
// (a test sets futureSeam; it is null otherwise, so each point costs one
// load and one predictable branch).
enum class FutureStep : std::uint8_t {
  registered,      // a registration appended its handler and read the state, before acting on it
  completionWalk,  // complete() stored the result, before walking the handlers
  idMaking,        // id(): the id was claimed for making, before it is stored
  idWaiting,       // id(): another call is making the id; this one waits for it
};
using FutureSeam = void (*)(FutureStep step, const void* future);
extern std::atomic<FutureSeam> futureSeam;

inline void atFutureSeam(FutureStep step, const void* future) {
  const FutureSeam seam = futureSeam.load(std::memory_order_relaxed);
  if (seam != nullptr) [[unlikely]] {
    seam(step, future);
  }
}

// The work of a future, shared by the future and its clones.
template <class T>
class FutureWork {
 public:
  virtual ~FutureWork() = default;
  // Handed a reference of its own, which the work may keep.
  virtual void run(std::shared_ptr<Flow::Future<T>> future) const = 0;
  // Whether the start step runs the work in the starting call (see
  // Future::start) instead of submitting it to the future's queue.
  virtual bool startsInline() const noexcept { return false; }
};

template <class T, class F>
class FutureWorkOf final : public FutureWork<T> {
 public:
  explicit FutureWorkOf(F block) : block_(std::move(block)) {}
  void run(std::shared_ptr<Flow::Future<T>> future) const override {
    std::invoke(block_, std::as_const(future));
  }

 private:
  mutable F block_;
};

// Bounds the nesting of inline starts on one thread: starting the last link
// of a chain of derived futures starts its source in the same call, and so
// on back to the root. Past the bound, starts go through the queue again, so
// a very long chain never exhausts the stack.
class InlineStartScope {
 public:
  static constexpr int kMaxDepth = 64;
  InlineStartScope() noexcept : entered_(depth_ < kMaxDepth) {
    if (entered_) ++depth_;
  }
  ~InlineStartScope() {
    if (entered_) --depth_;
  }
  InlineStartScope(const InlineStartScope&) = delete;
  InlineStartScope& operator=(const InlineStartScope&) = delete;
  bool entered() const noexcept { return entered_; }

 private:
  static inline thread_local int depth_ = 0;
  const bool entered_;
};

}  // namespace detail

namespace Flow {

// A block that does the work of a Future<T>: called with the future itself.
template <class F, class T>
concept FutureWorkBlock = requires(BlockRef<F> block, const std::shared_ptr<Future<T>>& future) {
  std::invoke(block, future);
};

// A block whose returned Result completes a Future<T>.
template <class F, class T>
concept ResultWorkBlock =
    BlockTaking<F> && std::convertible_to<std::invoke_result_t<BlockRef<F>>, Result<T>>;

// A block returning the Task whose outcome completes a Future<T>.
template <class F, class T>
concept AsyncWorkBlock = BlockTaking<F> && std::same_as<std::invoke_result_t<BlockRef<F>>, Task<T>>;

// A single-assignment asynchronous result: work that, once started, completes
// the future exactly once with a Result<T>; handlers receive the result on
// dispatch queues of their choice, or a thread blocks in wait() until it is
// there.
//
//   auto answer = Flow::Future<int>::make(DispatchQueue("calc"), []() -> Result<int> {
//     return 6 * 7;
//   });
//   answer->onSuccess(DispatchQueue::main(), [](int n) { show(n); })  // starts the work
//       .onFailure([](const Error& e) { log(e); });
//   Result<int> now = answer->wait();                                   // or block for it
//
//   auto later = Flow::Future<std::string>::promise();  // completed by whoever holds it
//   later->complete("done");
//
// Lazy start: the work (the future's block) starts with the first
// registration of a handler or the first wait() while no result is stored.
// It is submitted to the future's queue by a task that holds the future
// weakly, so a future nobody keeps alive until then never starts. The block
// runs at most once, however many registrations and waits race. (The derived
// futures of the operators, whose work only registers on their source, start
// within the starting call instead; see FutureOperators.hpp.)
//
// Completion: the first complete() stores the result, releases every thread
// in wait(), then hands the result to every complete-handler, then to every
// success-handler (or every failure-handler), each list in registration
// order. Later calls of complete() are ignored.
//
// Delivery: every handler runs exactly once if the result arrives while the
// handler is alive, always asynchronously on its queue (the queue given at
// registration, else the future's queue): never inside the registering call
// and never inside complete(). A registration appends its handler and looks
// at the state in one critical section; complete() stores the result and
// takes the handlers registered so far in another, then submits them after
// releasing the lock. A handler registered while complete() is submitting is
// left to complete(), which goes on until it finds no newer one; a handler
// registered after that submits itself. So each handler is submitted once,
// and handlers on one serial queue run in registration order, the
// complete-handlers of a completion before its success or failure handlers.
//
// Ownership: the future owns its handlers (they are never removed, also not
// after completion), so what their blocks capture lives as long as the
// future. Context forms hold the context weakly: the block is skipped once
// the context is gone. Releasing the last reference to a future releases its
// handlers and what their blocks capture at once (a block that is running
// goes when it returns); deliveries already queued for them do nothing.
// Objects handed to retain() live as long as the future. The block and the
// queue of a future are shared with its clones.
//
// Thread safety: every member may be called from any thread. The future's
// lock guards appends, the claim of the start, the store of the result and
// the hand-over of the handler list; nothing is allocated, copied or submitted under it, and no
// user code runs under it.
//
// Blocking: wait() must not be called on a thread the completion depends on.
// Where the library can see that it does (the future's work is queued on a
// serial queue this thread holds, or runs on a thread that is itself
// blocked, through other queues and futures, on this one; see
// BlockingWait), wait() returns a deadlock error (isDeadlockError) at once.
// A future completed by code the library cannot see (a promise, work that
// hands completion to a callback) may still wait for ever.
template <class T>
class Future : public FlowRetainer,
               public FutureOperators<T>,  // map, flatMap, assign, ...
               public std::enable_shared_from_this<Future<T>> {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Value = T;
  using Pointer = std::shared_ptr<Future>;
  using Work = detail::FutureWork<T>;

  // ---- Creation: every future gets a fresh id and starts unstarted ----

  // A future whose work is `block(future)`: the block must eventually call
  // complete() on the future it is given (directly or from another thread).
  // `queue` runs the block and serves handlers registered without a queue;
  // none means DispatchQueue::global().
  template <class F>
    requires FutureWorkBlock<F, T>
  static Pointer make(std::optional<DispatchQueue> queue, F&& block) {
    return allocateWithWork<detail::FutureWorkOf<T, std::decay_t<F>>>(std::move(queue),
                                                                      std::forward<F>(block));
  }

  // A future whose work completes it with what `block()` returns.
  template <class F>
    requires(ResultWorkBlock<F, T> && !FutureWorkBlock<F, T>)
  static Pointer make(std::optional<DispatchQueue> queue, F&& block) {
    return make(std::move(queue),
                [block = std::decay_t<F>(std::forward<F>(block))](const Pointer& future) mutable {
                  future->complete(std::invoke(block));
                });
  }

  // The two forms above with no queue.
  template <class F>
    requires(FutureWorkBlock<F, T> || ResultWorkBlock<F, T>)
  static Pointer make(F&& block) {
    return make(std::nullopt, std::forward<F>(block));
  }

  // Asynchronous work: when started, the future runs the task that `block()`
  // returns as work of `queue` and completes with its value, or with its
  // exception as the failure (Error::fromExceptionPtr). The running task
  // keeps the future alive until it ends.
  template <class F>
    requires AsyncWorkBlock<F, T>
  static Pointer make(DispatchQueue queue, F&& block) {
    DispatchQueue taskQueue = queue;
    return make(std::optional<DispatchQueue>(std::move(queue)),
                [block = std::decay_t<F>(std::forward<F>(block)),
                 taskQueue = std::move(taskQueue)](const Pointer& future) mutable {
                  try {
                    // The start step already runs on the queue: the task
                    // begins right here.
                    std::invoke(block).startHere(taskQueue, [future](Result<T> outcome) {
                      future->complete(std::move(outcome));
                    });
                  } catch (...) {
                    future->complete(Error::fromCurrentException());
                  }
                });
  }

  // An already completed future: the result is stored before anyone can
  // register; it has no work.
  static Pointer make(Result<T> result, std::optional<DispatchQueue> queue = std::nullopt) {
    return std::allocate_shared<Future>(detail::PoolAllocator<Future>(), Passkey(),
                                        std::move(queue), std::move(result));
  }

  // make(success(value)) and make(failure(error)), without a queue.
  template <class U = T>
    requires(!std::is_void_v<U>)
  static Pointer succeeded(U value) {
    return make(Result<T>(std::move(value)));
  }
  template <class U = T>
    requires std::is_void_v<U>
  static Pointer succeeded() {
    return make(Result<T>());
  }
  static Pointer failed(Error error) { return make(Result<T>(std::move(error))); }

  // A future without work: it completes only when some other code calls
  // complete() on it.
  static Pointer promise(std::optional<DispatchQueue> queue = std::nullopt) {
    return allocate(std::move(queue), std::shared_ptr<const Work>());
  }

  // A new future with the same queue and the same work: a new id, no result,
  // no handlers, not started. Starting it runs the work again.
  Pointer clone() const {
    // Work kept in this future's allocation lives as long as this future.
    // (Such a pointer owns nothing: its use count is 0.)
    const bool embedded = work_ && work_.use_count() == 0;
    return allocate(queue_, embedded
                                ? std::shared_ptr<const Work>(this->shared_from_this(), work_.get())
                                : work_);
  }

  Future(Passkey /*unused*/, std::optional<DispatchQueue> queue, std::shared_ptr<const Work> work)
      : queue_(queue ? std::move(*queue) : DispatchQueue::global()), work_(std::move(work)) {}
  Future(Passkey /*unused*/, std::optional<DispatchQueue> queue, Result<T> result)
      : queue_(queue ? std::move(*queue) : DispatchQueue::global()) {
    result_.emplace(std::move(result));
    latch_.open();
  }
  ~Future() override { detail::releaseFutureEntries(first_, firstRetained_, moreRetained_); }
  Future(const Future&) = delete;
  Future& operator=(const Future&) = delete;

  // This future's identity, made on first use: most futures are never asked
  // for theirs, and a random UUID costs more than the rest of a future's
  // making. Every call, from any thread, returns the same id.
  const FutureID& id() const noexcept {
    if (idState_.load(std::memory_order_acquire) != kIdMade) makeId();
    return id_;
  }
  const DispatchQueue& queue() const noexcept { return queue_; }

  // ---- Routing a failure into a pool (defined in mornik/flow/pool/Pool.hpp) ----

  // If this future fails, appends the error to `pool`'s error pool, on this
  // future's queue, provided the pool still exists then (it is held
  // weakly). Registering starts the work, like any registration.
  Future& failing(const std::shared_ptr<Pool>& pool);

  // ---- Completion ----

  // Stores `result` unless one is stored already (then does nothing); then
  // releases the waiting threads and submits every handler, as described
  // above.
  void complete(Result<T> result) MORNIK_EXCLUDES(lock_) {
    mornik::detail::HandlerCore* first = nullptr;
    mornik::detail::HandlerCore* last = nullptr;
    bool waited = false;
    {
      detail::ScopedLock<detail::SpinLock> guard(lock_);
      if (result_) return;
      result_.emplace(std::move(result));  // a move: Result's storage is inline
      waited = latch_.openGuarded();
      delivering_ = true;
      first = first_;
      last = last_;
    }
    if (waited) latch_.wakeWaiters();
    detail::atFutureSeam(detail::FutureStep::completionWalk, this);
    for (;;) {
      submitRange(first, last);
      // Handlers registered meanwhile were left to this walk.
      detail::ScopedLock<detail::SpinLock> guard(lock_);
      if (last_ == last) {
        delivering_ = false;
        return;
      }
      first = last != nullptr ? last->next : first_;
      last = last_;
    }
  }

  // ---- Registration; each returns this future, for chaining ----

  // `block(result)` once the future completes.
  template <class F>
    requires BlockTaking<F, const Result<T>&>
  Future& onComplete(std::optional<DispatchQueue> queue, F&& block) {
    return add(Handler<Result<T>>::makeOwned(queueOr(queue), std::forward<F>(block)),
               Kind::complete);
  }
  template <class F>
    requires BlockTaking<F, const Result<T>&>
  Future& onComplete(F&& block) {
    return onComplete(std::nullopt, std::forward<F>(block));
  }

  // `block(value)` (for Future<void>: `block()`) if the future succeeds.
  template <class F>
    requires ValueBlock<F, T>
  Future& onSuccess(std::optional<DispatchQueue> queue, F&& block) {
    return add(Handler<T>::makeOwned(queueOr(queue), std::forward<F>(block)), Kind::success);
  }
  template <class F>
    requires ValueBlock<F, T>
  Future& onSuccess(F&& block) {
    return onSuccess(std::nullopt, std::forward<F>(block));
  }

  // `block(error)` if the future fails.
  template <class F>
    requires BlockTaking<F, const Error&>
  Future& onFailure(std::optional<DispatchQueue> queue, F&& block) {
    return add(Handler<Error>::makeOwned(queueOr(queue), std::forward<F>(block)), Kind::failure);
  }
  template <class F>
    requires BlockTaking<F, const Error&>
  Future& onFailure(F&& block) {
    return onFailure(std::nullopt, std::forward<F>(block));
  }

  // Context forms: the context is held weakly; when the handler runs, the
  // block gets the context (as `C&` or `const std::shared_ptr<C>&`) and the
  // value if the context still exists, and nothing happens otherwise.
  template <class C, class F>
    requires ContextValueBlock<F, C, Result<T>>
  Future& onComplete(const std::shared_ptr<C>& context, std::optional<DispatchQueue> queue,
                     F&& block) {
    return onComplete(
        std::move(queue),
        [weak = std::weak_ptr<C>(context), block = std::decay_t<F>(std::forward<F>(block))](
            const Result<T>& result) mutable { detail::callWithContext(weak, block, result); });
  }
  template <class C, class F>
    requires ContextValueBlock<F, C, Result<T>>
  Future& onComplete(const std::shared_ptr<C>& context, F&& block) {
    return onComplete(context, std::nullopt, std::forward<F>(block));
  }

  template <class C, class F>
    requires ContextValueBlock<F, C, T>
  Future& onSuccess(const std::shared_ptr<C>& context, std::optional<DispatchQueue> queue,
                    F&& block) {
    if constexpr (std::is_void_v<T>) {
      return onSuccess(std::move(queue),
                       [weak = std::weak_ptr<C>(context),
                        block = std::decay_t<F>(std::forward<F>(block))]() mutable {
                         detail::callWithContext(weak, block);
                       });
    } else {
      return onSuccess(
          std::move(queue),
          [weak = std::weak_ptr<C>(context), block = std::decay_t<F>(std::forward<F>(block))](
              const T& value) mutable { detail::callWithContext(weak, block, value); });
    }
  }
  template <class C, class F>
    requires ContextValueBlock<F, C, T>
  Future& onSuccess(const std::shared_ptr<C>& context, F&& block) {
    return onSuccess(context, std::nullopt, std::forward<F>(block));
  }

  template <class C, class F>
    requires ContextValueBlock<F, C, Error>
  Future& onFailure(const std::shared_ptr<C>& context, std::optional<DispatchQueue> queue,
                    F&& block) {
    return onFailure(
        std::move(queue),
        [weak = std::weak_ptr<C>(context), block = std::decay_t<F>(std::forward<F>(block))](
            const Error& error) mutable { detail::callWithContext(weak, block, error); });
  }
  template <class C, class F>
    requires ContextValueBlock<F, C, Error>
  Future& onFailure(const std::shared_ptr<C>& context, F&& block) {
    return onFailure(context, std::nullopt, std::forward<F>(block));
  }

  // Scoped forms of every registration above (Flow::scoped first, then the
  // same arguments): the handler lasts as long as the returned Subscription.
  // They start the work like any registration.
  template <class... A>
  Subscription onComplete(Flow::Scoped /*unused*/, A&&... arguments) {
    return detail::registerScoped(
        [this](auto&&... a) { this->onComplete(std::forward<decltype(a)>(a)...); },
        std::forward<A>(arguments)...);
  }
  template <class... A>
  Subscription onSuccess(Flow::Scoped /*unused*/, A&&... arguments) {
    return detail::registerScoped(
        [this](auto&&... a) { this->onSuccess(std::forward<decltype(a)>(a)...); },
        std::forward<A>(arguments)...);
  }
  template <class... A>
  Subscription onFailure(Flow::Scoped /*unused*/, A&&... arguments) {
    return detail::registerScoped(
        [this](auto&&... a) { this->onFailure(std::forward<decltype(a)>(a)...); },
        std::forward<A>(arguments)...);
  }

  // ---- Queries ----

  // The success value (for Future<void>: whether it succeeded), or none while
  // not completed. Neither waits nor starts the work.
  auto maybeSuccess() const {
    if constexpr (std::is_void_v<T>) {
      return latch_.isOpen() && result_->isSuccess();
    } else {
      return latch_.isOpen() ? result_->maybeSuccess() : std::optional<T>();
    }
  }
  // The failure, or none while not completed or on success.
  std::optional<Error> maybeFailure() const {
    return latch_.isOpen() ? result_->maybeFailure() : std::nullopt;
  }

  // Blocks the calling thread until the result is there and returns it; a
  // completed future returns at once. Starts the work if needed. Any number
  // of threads may wait at once; completion releases them all.
  Result<T> wait() MORNIK_EXCLUDES(lock_) {
    if (!latch_.isOpen()) {
      bool waits = false;
      bool starts = false;
      {
        detail::ScopedLock<detail::SpinLock> guard(lock_);
        waits = !result_;
        if (waits) {
          starts = claimStart();
          latch_.addWaiterGuarded();
        }
      }
      if (starts) start();
      if (waits) {
        const BlockingWait blocked(&resolveWait, this);
        if (blocked.deadlock()) {
          latch_.withdrawAdded();
          return Result<T>(*blocked.deadlock());
        }
        latch_.waitAdded();
      }
    }
    if (!result_) return Result<T>(detail::futureResultMissing());
    return *result_;
  }

  // Keeps `object` alive as long as this future lives.
  void retain(std::shared_ptr<const void> object) override MORNIK_EXCLUDES(lock_) {
    {
      detail::ScopedLock<detail::SpinLock> guard(lock_);
      if (!firstRetained_) {
        firstRetained_ = std::move(object);
        return;
      }
    }
    // Past the first, a node made outside the lock.
    auto* node = new (detail::PoolAllocator<detail::RetainedNode>().allocate(1))
        detail::RetainedNode{std::move(object), nullptr};
    detail::ScopedLock<detail::SpinLock> guard(lock_);
    node->next = moreRetained_;
    moreRetained_ = node;
  }

 private:
  template <class U>
  friend class detail::FutureAwaiter;
  template <class U>
  friend class FutureOperators;

  DispatchQueue queueOr(std::optional<DispatchQueue>& queue) const {
    return std::move(queue).value_or(queue_);
  }

  using Kind = detail::FutureHandlerKind;

  static Pointer allocate(std::optional<DispatchQueue> queue, std::shared_ptr<const Work> work) {
    return std::allocate_shared<Future>(detail::PoolAllocator<Future>(), Passkey(),
                                        std::move(queue), std::move(work));
  }

  // A future with its work in the same allocation (defined below).
  template <class W>
  class WithWork;

  // Also for the operators' derived futures, whose work (startsInline())
  // starts in the starting call rather than as a task on the queue.
  template <class W, class... A>
  static Pointer allocateWithWork(std::optional<DispatchQueue> queue, A&&... arguments) {
    return std::allocate_shared<WithWork<W>>(detail::PoolAllocator<WithWork<W>>(), Passkey(),
                                             std::move(queue), std::forward<A>(arguments)...);
  }

  static Kind kindOf(const mornik::detail::HandlerCore* handler) {
    return static_cast<Kind>(handler->kind);
  }

  // Submits the stored result to a handler whose kind matches it (a
  // complete-handler, or a success or failure handler as the result is).
  void submit(const mornik::detail::HandlerCore* handler) const {
    switch (kindOf(handler)) {
      case Kind::complete:
        static_cast<const Handler<Result<T>>*>(handler)->call(*result_);
        break;
      case Kind::success:
        if constexpr (std::is_void_v<T>) {
          static_cast<const Handler<T>*>(handler)->call();
        } else {
          static_cast<const Handler<T>*>(handler)->call(result_->value());
        }
        break;
      case Kind::failure:
        static_cast<const Handler<Error>*>(handler)->call(result_->error());
        break;
    }
  }

  // For a handler that completes this future (FutureOperators): where
  // complete() begins to read and write.
  const void* completionTarget() const noexcept { return &lock_; }

  Kind matchingKind() const { return result_->isSuccess() ? Kind::success : Kind::failure; }

  // Submits the handlers from `first` to `last` (a run of the list, read
  // without the lock: their links were written before the result was
  // stored or before the run was taken), the complete-handlers first.
  void submitRange(const mornik::detail::HandlerCore* first,
                   const mornik::detail::HandlerCore* last) const {
    if (first == nullptr) return;
    for (const mornik::detail::HandlerCore* h = first;; h = h->next) {
      if (kindOf(h) == Kind::complete) submit(h);
      if (h == last) break;
    }
    const Kind matching = matchingKind();
    for (const mornik::detail::HandlerCore* h = first;; h = h->next) {
      if (kindOf(h) == matching) submit(h);
      if (h == last) break;
    }
  }

  // Registration: append under the lock and look at the state in the same
  // critical section. Before completion, start the work; once complete() has
  // handed over the list, submit at once if the result matches; while it is
  // submitting, leave the handler to it.
  Future& add(mornik::detail::HandlerCore* handler, Kind kind) MORNIK_EXCLUDES(lock_) {
    handler->kind = static_cast<std::uint8_t>(kind);
    bool stored = false;
    bool starts = false;
    bool leftToCompletion = false;
    {
      detail::ScopedLock<detail::SpinLock> guard(lock_);
      if (last_ != nullptr) {
        last_->next = handler;
      } else {
        first_ = handler;
      }
      last_ = handler;
      stored = result_.has_value();
      starts = !stored && claimStart();
      leftToCompletion = delivering_;
    }
    detail::atFutureSeam(detail::FutureStep::registered, this);
    if (starts) {
      start();
    } else if (stored && !leftToCompletion && (kind == Kind::complete || kind == matchingKind())) {
      submit(handler);
    }
    return *this;
  }

  // The start is claimed in the critical section of the registration or
  // wait() that finds no result: the first such caller starts the work, no
  // later one does. A future without work has nothing to start.
  bool claimStart() MORNIK_REQUIRES(lock_) {
    if (!work_ || startClaimed_) return false;
    startClaimed_ = true;
    return true;
  }

  // The start step, once per future, by the caller that claimed it: submits
  // one task to the future's queue that holds the future weakly and, if the
  // future is still alive when it runs, calls the block. (One task is
  // enough: if the future is gone when it runs, no later registration can
  // come.) The block runs without any lock held, so it may register,
  // complete or start anything. Work whose startsInline() is true runs in
  // this call instead (the caller holds the future, and no lock), unless
  // the inline starts on this thread are nested too deep already.
  void start() {
    if (work_->startsInline()) {
      const detail::InlineStartScope scope;
      if (scope.entered()) {
        work_->run(this->shared_from_this());
        return;
      }
    }
    workPhase_.store(kWorkQueued, std::memory_order_release);
    queue_.async([weak = this->weak_from_this()] {
      if (Pointer self = weak.lock()) {
        self->workRunner_.store(BlockingWait::thisThread(), std::memory_order_relaxed);
        self->workPhase_.store(kWorkRunning, std::memory_order_release);
        const Work& work = *self->work_;
        work.run(self);
        self->workPhase_.store(kWorkReturned, std::memory_order_release);
      }
    });
  }

  // What a thread blocked in wait() needs, for the wait-for graph: while the
  // work waits on a serial queue, that queue; while the block runs, its
  // thread. Once the block returned, or for work that starts inline (it
  // only registers on another future), nothing the graph can follow.
  static WaitEdge resolveWait(const void* object) noexcept {
    const auto* self = static_cast<const Future*>(object);
    if (self->latch_.isOpen()) return {};
    const detail::QueueImpl* queue = self->queue_.impl().get();
    switch (self->workPhase_.load(std::memory_order_acquire)) {
      case kWorkQueued:
        return self->queue_.isSerial() ? WaitEdge{queue, nullptr, queue} : WaitEdge{};
      case kWorkRunning:
        return WaitEdge{nullptr, self->workRunner_.load(std::memory_order_relaxed), queue};
      default:
        return {};
    }
  }

  static constexpr std::uint8_t kWorkNotQueued = 0;
  static constexpr std::uint8_t kWorkQueued = 1;
  static constexpr std::uint8_t kWorkRunning = 2;
  static constexpr std::uint8_t kWorkReturned = 3;

  static constexpr std::uint8_t kNoId = 0;
  static constexpr std::uint8_t kIdMaking = 1;
  static constexpr std::uint8_t kIdMade = 2;

  // The first caller makes the id; one that comes while it does waits.
  void makeId() const noexcept {
    std::uint8_t expected = kNoId;
    if (idState_.compare_exchange_strong(expected, kIdMaking, std::memory_order_acquire)) {
      detail::atFutureSeam(detail::FutureStep::idMaking, this);
      id_ = FutureID::fresh();
      idState_.store(kIdMade, std::memory_order_release);
      return;
    }
    if (expected == kIdMade) return;
    detail::atFutureSeam(detail::FutureStep::idWaiting, this);
    detail::spinUntil([this] { return idState_.load(std::memory_order_acquire) == kIdMade; });
  }

  mutable FutureID id_;  // written once, before idState_ says kIdMade
  const DispatchQueue queue_;
  // Null: the future has no work. Work in this future's own allocation
  // (WithWork) is pointed at without ownership, so copying counts nothing.
  const std::shared_ptr<const Work> work_;
  // From lock_ on, what complete() reads and writes, in the 64 bytes that a
  // completing handler prefetches (completionTarget()) for a small value;
  // the one-byte fields share a word with the latch.
  mutable std::atomic<std::uint8_t> idState_{kNoId};
  detail::SpinLock lock_;
  bool startClaimed_ MORNIK_GUARDED_BY(lock_) = false;
  // complete() is submitting the handlers it took; newer ones are its too.
  bool delivering_ MORNIK_GUARDED_BY(lock_) = false;
  CompletionLatch latch_;
  // The handlers in registration order, linked through HandlerCore::next;
  // only ever appended to. The future owns each (see release()).
  mornik::detail::HandlerCore* first_ MORNIK_GUARDED_BY(lock_) = nullptr;
  mornik::detail::HandlerCore* last_ MORNIK_GUARDED_BY(lock_) = nullptr;
  // Written once, under lock_, and published by latch_; read under lock_ or
  // after latch_ is open, and never changed again.
  std::optional<Result<T>> result_;
  // The retained objects: the first, then a list of the others.
  std::shared_ptr<const void> firstRetained_ MORNIK_GUARDED_BY(lock_);
  mornik::detail::RetainedNode* moreRetained_ MORNIK_GUARDED_BY(lock_) = nullptr;
  // Where the work is, for the wait-for graph (resolveWait): the phase, and
  // the thread running the block (written before the phase says running).
  std::atomic<const void*> workRunner_{nullptr};
  std::atomic<std::uint8_t> workPhase_{kWorkNotQueued};
};

// A future and its work in one allocation, the common case: one block of
// memory and one reference count fewer per future.
template <class T>
template <class W>
class Future<T>::WithWork final : public Future<T> {
 public:
  template <class... A>
  WithWork(Passkey key, std::optional<DispatchQueue> queue, A&&... arguments)
      : Future(key, std::move(queue),
               std::shared_ptr<const Work>(std::shared_ptr<const void>(), &work_)),
        work_(std::forward<A>(arguments)...) {}

 private:
  const W work_;
};

// A type-erased strong reference to a future of any type (a pool keeps its
// futures in a table of these, keyed by FutureID).
//
// Thread safety: a plain value; copies share the future.
struct FutureRef {
  std::shared_ptr<const void> ref;
};

}  // namespace Flow

namespace detail {

// `co_await future` in a coroutine: yields the future's Result without
// blocking a thread. Awaiting starts the future's work like any
// registration; the coroutine resumes as work of the queue it was running on
// (for a Task, the task's queue), or at once if the future was complete.
template <class T>
class FutureAwaiter {
 public:
  explicit FutureAwaiter(std::shared_ptr<Flow::Future<T>> future) : future_(std::move(future)) {}

  bool await_ready() const noexcept { return future_->latch_.isOpen(); }

  template <class P>
  void await_suspend(std::coroutine_handle<P> handle) {
    QueueRef fallback;
    DispatchQueue queue(queueOfAwaiter(handle, fallback));
    // The handler may resume the coroutine (and end it, destroying this
    // awaiter) on another thread before onComplete returns: keep the future
    // alive locally and touch no member afterwards.
    const std::shared_ptr<Flow::Future<T>> future = future_;
    (void)future->onComplete(std::move(queue),
                             [handle](const Result<T>& /*unused*/) { handle.resume(); });
  }

  Result<T> await_resume() { return future_->wait(); }

 private:
  std::shared_ptr<Flow::Future<T>> future_;
};

}  // namespace detail

namespace Flow {

template <class T>
mornik::detail::FutureAwaiter<T> operator co_await(std::shared_ptr<Future<T>> future) {
  return mornik::detail::FutureAwaiter<T>(std::move(future));
}

}  // namespace Flow

}  // namespace mornik

MORNIK_EXPORTS_END
