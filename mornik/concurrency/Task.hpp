#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <coroutine>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/detail/Executor.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

template <class T = void>
class Task;

namespace detail {

// The queue a task's code currently runs on, and how its awaiter resumes.
struct TaskPromiseBase {
  QueueRef queue;              // where this task runs (changed by resumeOn)
  QueueRef continuationQueue;  // the awaiting task's queue
  std::coroutine_handle<> continuation;
  bool detached = false;
};

inline QueueRef currentQueueRef() {
  QueueImpl* queue = currentQueue();
  QueueRef ref = queue != nullptr ? queue->weak_from_this().lock() : nullptr;
  return ref ? ref : globalQueueRef(QoS::default_);
}

// Resumes `handle` later, as work of `queue`.
inline void resumeLater(const QueueRef& queue, std::coroutine_handle<> handle) {
  queue->enqueue(makeWorkItem([handle] { handle.resume(); }));
}

struct TaskFinalAwaiter {
  bool await_ready() const noexcept { return false; }

  template <class P>
  std::coroutine_handle<> await_suspend(std::coroutine_handle<P> self) noexcept {
    P& promise = self.promise();
    if (promise.detached) {
      promise.finishDetached();
      self.destroy();
      return std::noop_coroutine();
    }
    const std::coroutine_handle<> continuation = promise.continuation;
    if (!continuation) return std::noop_coroutine();
    QueueRef target = promise.continuationQueue;
    // Resume the awaiter inline when this task ends on the awaiter's queue;
    // otherwise hand it back to its own queue. Nothing of this frame is
    // touched after that hand-over: the awaiter may destroy it at once.
    if (target && currentQueue() != target.get()) {
      resumeLater(target, continuation);
      return std::noop_coroutine();
    }
    return continuation;
  }

  void await_resume() const noexcept {}
};

template <class T>
struct TaskPromise : TaskPromiseBase {
  Task<T> get_return_object() noexcept;
  std::suspend_always initial_suspend() const noexcept { return {}; }
  TaskFinalAwaiter final_suspend() const noexcept { return {}; }
  // Storing an exception_ptr does not throw (the variant's emplace is not
  // declared noexcept, which the exception-escape check cannot see through).
  // NOLINTNEXTLINE(bugprone-exception-escape)
  void unhandled_exception() noexcept { result.template emplace<2>(std::current_exception()); }
  template <class U>
  void return_value(U&& value) {
    result.template emplace<1>(std::forward<U>(value));
  }

  Result<T> takeOutcome() {
    if (result.index() == 2) return Error::fromExceptionPtr(std::get<2>(result));
    return Result<T>(std::get<1>(std::move(result)));
  }
  void finishDetached() noexcept {
    auto done = std::move(completion);
    done(takeOutcome());
  }

  std::variant<std::monostate, T, std::exception_ptr> result;
  std::function<void(Result<T>)> completion;
};

template <>
struct TaskPromise<void> : TaskPromiseBase {
  Task<void> get_return_object() noexcept;
  std::suspend_always initial_suspend() const noexcept { return {}; }
  TaskFinalAwaiter final_suspend() const noexcept { return {}; }
  void unhandled_exception() noexcept { error = std::current_exception(); }
  void return_void() const noexcept {}

  Result<void> takeOutcome() {
    return error ? Result<void>(Error::fromExceptionPtr(error)) : Result<void>();
  }
  void finishDetached() noexcept {
    auto done = std::move(completion);
    done(takeOutcome());
  }

  std::exception_ptr error;
  std::function<void(Result<void>)> completion;
};

}  // namespace detail

// A lazily started coroutine that runs on dispatch queues.
//
//   mornik::Task<int> fetchCount(Store& store) {
//     co_await mornik::resumeOn(store.queue());   // continue on the store's queue
//     co_await mornik::sleep(0.1);                 // suspends; no thread waits
//     co_return store.count();
//   }
//
//   mornik::Task<> refresh(Store& store) {
//     int n = co_await fetchCount(store);          // starts it, resumes after
//     show(n);
//   }
//
//   refresh(store).start(mornik::DispatchQueue::main(),
//                        [](mornik::Result<void> done) { ... });
//
// Nothing runs until the task is awaited or started. An awaited task starts
// inline on the awaiter's queue; when it finishes, the awaiter resumes on its
// own queue (inline when the task ended there, else submitted to it). An
// exception thrown in a task (a mornik::Error above all) reaches the awaiter
// from co_await unchanged, or the completion of start() as the failure of its
// Result (Error::fromExceptionPtr: a thrown Error as it is).
//
// Ownership: a Task owns its coroutine frame until it is started; start()
// hands the frame over to itself (it frees itself after the completion). A
// task may be awaited or started once.
//
// Thread safety: a Task object is used by one thread at a time; the
// coroutine itself always runs as work of its current queue.
template <class T>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::TaskPromise<T>;
  using Handle = std::coroutine_handle<promise_type>;

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      if (handle_) handle_.destroy();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    if (handle_) handle_.destroy();
  }

  // Starts the task as work of `queue`; `completion` receives its outcome
  // on the queue the task finishes on. `completion` is called exactly once.
  template <class F>
    requires std::invocable<F&, Result<T>>
  void start(const DispatchQueue& queue, F&& completion) && {
    detail::resumeLater(queue.impl(), std::move(*this).detach(queue, std::forward<F>(completion)));
  }

  // The same, but the task starts at once on the calling thread, which must
  // be running work of `queue` (so the task is where start() would put it,
  // one submission sooner). For work that is itself a start step.
  template <class F>
    requires std::invocable<F&, Result<T>>
  void startHere(const DispatchQueue& queue, F&& completion) && {
    std::move(*this).detach(queue, std::forward<F>(completion)).resume();
  }

  // Awaiting a task from another coroutine.
  bool await_ready() const noexcept { return false; }
  template <class P>
  std::coroutine_handle<> await_suspend(std::coroutine_handle<P> awaiter) noexcept {
    promise_type& promise = handle_.promise();
    promise.continuation = awaiter;
    if constexpr (std::is_base_of_v<detail::TaskPromiseBase, P>) {
      promise.queue = awaiter.promise().queue;
      promise.continuationQueue = awaiter.promise().queue;
    } else {
      promise.queue = detail::currentQueueRef();
    }
    return handle_;
  }
  T await_resume() {
    if constexpr (std::is_void_v<T>) {
      handle_.promise().takeOutcome().value();
    } else {
      return handle_.promise().takeOutcome().value();
    }
  }

 private:
  // Hands the coroutine over to run on its own, on `queue`, ending in
  // `completion`.
  template <class F>
  Handle detach(const DispatchQueue& queue, F&& completion) && {
    Handle handle = std::exchange(handle_, {});
    promise_type& promise = handle.promise();
    promise.queue = queue.impl();
    promise.detached = true;
    promise.completion = std::forward<F>(completion);
    return handle;
  }

  friend promise_type;
  explicit Task(Handle handle) noexcept : handle_(handle) {}

  Handle handle_;
};

namespace detail {

template <class T>
Task<T> TaskPromise<T>::get_return_object() noexcept {
  return Task<T>(std::coroutine_handle<TaskPromise<T>>::from_promise(*this));
}

inline Task<void> TaskPromise<void>::get_return_object() noexcept {
  return Task<void>(std::coroutine_handle<TaskPromise<void>>::from_promise(*this));
}

template <class P>
QueueRef& queueOfAwaiter(std::coroutine_handle<P> handle, QueueRef& fallback) {
  if constexpr (std::is_base_of_v<TaskPromiseBase, P>) {
    if (!handle.promise().queue) handle.promise().queue = currentQueueRef();
    return handle.promise().queue;
  } else {
    fallback = currentQueueRef();
    return fallback;
  }
}

}  // namespace detail

// `co_await resumeOn(queue)`: the rest of the task runs as work of `queue`
// (always after a suspension, even when already on it).
class ResumeOn {
 public:
  explicit ResumeOn(DispatchQueue queue) : queue_(std::move(queue)) {}

  bool await_ready() const noexcept { return false; }
  template <class P>
  void await_suspend(std::coroutine_handle<P> handle) {
    QueueRef target = queue_.impl();
    if constexpr (std::is_base_of_v<detail::TaskPromiseBase, P>) handle.promise().queue = target;
    detail::resumeLater(target, handle);
  }
  void await_resume() const noexcept {}

 private:
  using QueueRef = detail::QueueRef;
  DispatchQueue queue_;
};

inline ResumeOn resumeOn(DispatchQueue queue) { return ResumeOn(std::move(queue)); }

// `co_await sleep(seconds)`: suspends the task for `seconds` without holding
// a thread, then resumes it on its queue, no earlier than the deadline. Zero
// or less resumes after a trip through the queue. NaN or +infinity throws
// std::invalid_argument from sleep().
class SleepFor {
 public:
  explicit SleepFor(double seconds) : seconds_(seconds) {
    if (std::isnan(seconds) || seconds == HUGE_VAL) {
      throw std::invalid_argument("sleep: the duration is not finite");
    }
  }

  bool await_ready() const noexcept { return false; }
  template <class P>
  void await_suspend(std::coroutine_handle<P> handle) {
    detail::QueueRef fallback;
    const detail::QueueRef queue = detail::queueOfAwaiter(handle, fallback);
    const std::int64_t deadline = detail::monotonicNowNs() + detail::delayToNs(seconds_);
    detail::enqueueAt(deadline, queue, detail::makeWorkItem([handle] { handle.resume(); }));
  }
  void await_resume() const noexcept {}

 private:
  double seconds_;
};

inline SleepFor sleep(double seconds) { return SleepFor(seconds); }
template <class Rep, class Period>
SleepFor sleep(std::chrono::duration<Rep, Period> duration) {
  return SleepFor(std::chrono::duration<double>(duration).count());
}

namespace detail {
// Clamps a duration for the lenient sleeps: negative, NaN or -infinity is
// zero; +infinity or beyond a century is a century.
inline double lenientSeconds(double seconds) noexcept {
  if (!(seconds > 0)) return 0;
  return std::min(seconds, 100.0 * 365 * 24 * 3600);
}
}  // namespace detail

// Sleeps that never reject their argument: bad or overflowing durations are
// clamped (see detail::lenientSeconds). `co_await sleepSec(1.5)`.
inline SleepFor sleepSec(double seconds) { return SleepFor(detail::lenientSeconds(seconds)); }
inline SleepFor sleepMs(std::uint64_t milliseconds) {
  return SleepFor(detail::lenientSeconds(static_cast<double>(milliseconds) / 1e3));
}
inline SleepFor sleepMins(double minutes) {
  return SleepFor(detail::lenientSeconds(minutes * 60.0));
}

namespace detail {

// g++ before 13 destroys an aggregate temporary whose full-expression holds a
// co_await twice, whatever the function it is passed to does with it (even
// one that moves it away at once: the compiler keeps a stale copy of it). A
// lambda written in place is such a temporary, so with a capture that has a
// destructor (a shared_ptr, a string) this releases it twice:
//   co_await forEachAsync(items, [store](int n) { ... });   // double free
// The same lambda is fine where no co_await shares its full-expression:
//   Task<> walk = forEachAsync(items, [store](int n) { ... });
//   co_await std::move(walk);
// and in code that is not a coroutine at all (start() it, return it).
// Clang and g++ 13 are fine. So with g++ 12 a form that takes a callable for
// a coroutine returns, for a temporary callable with a destructor, a Task
// that refuses to be awaited where it is made: awaiting the call itself does
// not compile; storing it in a Task first, or naming the callable (an
// lvalue, copied into the task), does. The check is at the co_await of the
// call: a call passed straight into some other awaited expression,
// `co_await other(forEachAsync(items, [store](int n) { ... }))`, is not
// caught (no compiler can see it from here): keep such calls on their own line.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
template <class F>
inline constexpr bool kBlockSurvivesCoAwait =
    std::is_lvalue_reference_v<F> || std::is_trivially_destructible_v<std::remove_cvref_t<F>>;
#else
template <class F>
inline constexpr bool kBlockSurvivesCoAwait = true;
#endif
#define MORNIK_BLOCK_IN_CO_AWAIT_MESSAGE                                                      \
  "g++ 12 destroys a lambda written inside co_await twice: store the call in a Task<> first " \
  "or name the callable (see mornik/concurrency/Task.hpp)"

template <class F>
inline constexpr bool kNeverTrue = false;

// The task of a call with a temporary callable that g++ 12 would destroy
// twice if the call stood inside co_await: a Task<T> (it converts to one,
// starts, moves) that does not compile as the operand of co_await.
template <class T>
class TaskOfTemporaryBlock : public Task<T> {
 public:
  explicit TaskOfTemporaryBlock(Task<T>&& task) noexcept : Task<T>(std::move(task)) {}
  template <class P>
  std::coroutine_handle<> await_suspend(std::coroutine_handle<P> /*awaiter*/) noexcept {
    static_assert(kNeverTrue<P>, MORNIK_BLOCK_IN_CO_AWAIT_MESSAGE);
    return {};
  }
};

// The task type a form taking callable F returns.
template <class T, class F>
using TaskTaking = std::conditional_t<kBlockSurvivesCoAwait<F>, Task<T>, TaskOfTemporaryBlock<T>>;

template <class Range, class Op>
Task<void> forEachAsyncTask(Range elements, Op operation) {
  for (auto&& element : elements) co_await operation(element);
}

}  // namespace detail

// Awaits `operation(element)` for each element in order, strictly one at a
// time. An exception from an operation stops the walk and reaches the
// awaiter; later elements are not visited. `operation` returns a Task<void>;
// the walk keeps copies of the range and the operation.
template <class Range, class Op>
detail::TaskTaking<void, Op> forEachAsync(Range elements, Op&& operation) {
  return detail::TaskTaking<void, Op>(detail::forEachAsyncTask<Range, std::decay_t<Op>>(
      std::move(elements), std::forward<Op>(operation)));
}

// The same walk (there is no separate non-sendable form in C++).
template <class Range, class Op>
detail::TaskTaking<void, Op> forEachAsync1(Range elements, Op&& operation) {
  return forEachAsync(std::move(elements), std::forward<Op>(operation));
}

}  // namespace mornik

MORNIK_EXPORTS_END
