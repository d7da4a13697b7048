#pragma once

#include <coroutine>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/Task.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Runs a Result-returning block as asynchronous work, started at once, that
// coroutines can await.
//
//   auto load = mornik::AsyncFunc<Config>::make([] { return readConfig(); });
//   ...
//   mornik::Result<Config> config = co_await load->result();
//
// The block runs once, as work of the global default queue. Any number of
// coroutines may await the result, before or after it is ready; each resumes
// on its own queue (a task's current queue), never inside the completing
// call.
//
// Thread safety: every member may be called from any thread.
template <class T>
class AsyncFunc : public std::enable_shared_from_this<AsyncFunc<T>> {
  struct Passkey {};

 public:
  static std::shared_ptr<AsyncFunc> make(std::function<Result<T>()> block) {
    auto func = std::make_shared<AsyncFunc>(Passkey{});
    DispatchQueue::global().async([func, block = std::move(block)] { func->finish(block()); });
    return func;
  }

  explicit AsyncFunc(Passkey /*unused*/) {}

  class Awaiter {
   public:
    bool await_ready() const { return func_->done(); }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> handle) {
      detail::QueueRef queue;
      if constexpr (std::is_base_of_v<detail::TaskPromiseBase, P>) queue = handle.promise().queue;
      if (!queue) queue = detail::currentQueueRef();
      return func_->addWaiter(handle, std::move(queue));
    }
    Result<T> await_resume() const { return func_->outcome(); }

   private:
    friend class AsyncFunc;
    explicit Awaiter(std::shared_ptr<AsyncFunc> func) : func_(std::move(func)) {}
    std::shared_ptr<AsyncFunc> func_;
  };

  // `co_await result()`: the block's Result.
  Awaiter result() { return Awaiter(this->shared_from_this()); }

 private:
  using Guard = detail::ScopedLock<UnfairLock>;

  bool done() const {
    Guard guard(lock_);
    return outcome_.has_value();
  }

  Result<T> outcome() const {
    Guard guard(lock_);
    return *outcome_;
  }

  // Registers a waiter; false when the outcome is already there (the
  // awaiter then continues without suspending).
  bool addWaiter(std::coroutine_handle<> handle, detail::QueueRef queue) {
    Guard guard(lock_);
    if (outcome_) return false;
    waiters_.emplace_back(handle, std::move(queue));
    return true;
  }

  void finish(Result<T> outcome) {
    std::vector<std::pair<std::coroutine_handle<>, detail::QueueRef>> waiters;
    {
      Guard guard(lock_);
      outcome_.emplace(std::move(outcome));
      waiters.swap(waiters_);
    }
    for (auto& [handle, queue] : waiters) detail::resumeLater(queue, handle);
  }

  mutable UnfairLock lock_;
  std::optional<Result<T>> outcome_ MORNIK_GUARDED_BY(lock_);
  std::vector<std::pair<std::coroutine_handle<>, detail::QueueRef>> waiters_
      MORNIK_GUARDED_BY(lock_);
};

// Runs `block` as an AsyncFunc and gives its Result.
template <class F>
auto asyncFunc(F block) -> Task<std::remove_cvref_t<std::invoke_result_t<F&>>> {
  using R = std::remove_cvref_t<std::invoke_result_t<F&>>;
  auto func = AsyncFunc<typename R::Success>::make(std::move(block));
  co_return co_await func->result();
}

}  // namespace mornik

MORNIK_EXPORTS_END
