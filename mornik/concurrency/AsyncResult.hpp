#pragma once

#include <functional>
#include <type_traits>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/Task.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// The asynchronous onSuccess / onFailure of Result: a block that returns a
// Task makes them coroutines. The returned Task<Result<T>>, once awaited or
// started, awaits the block on the matching case and then yields the result
// unchanged. An exception thrown by the block reaches the awaiter. The Task
// owns a copy of the block (taken before it first suspends), so it may be
// awaited after the block given to it is gone.
//
//   Task<> save(std::shared_ptr<Store> store, int n);
//   auto saveTo = [store](const int& n) { return save(store, n); };
//   Result<int> same = co_await r.onSuccess(saveTo);
//
// With g++ 12 a block written in place that captures something with a
// destructor is not awaited in the same expression (see kBlockSurvivesCoAwait):
//   Task<Result<int>> saved = r.onSuccess([store](const int& n) { ... });
//   Result<int> same = co_await std::move(saved);
template <class U>
struct AsyncResultBlock<Task<U>> {
  template <class T, class F>
  static TaskTaking<Result<T>, F> onSuccess(Result<T> result, F&& block) {
    return TaskTaking<Result<T>, F>(
        onSuccessTask<T, std::decay_t<F>>(std::move(result), std::forward<F>(block)));
  }

  template <class T, class F>
  static TaskTaking<Result<T>, F> onFailure(Result<T> result, F&& block) {
    return TaskTaking<Result<T>, F>(
        onFailureTask<T, std::decay_t<F>>(std::move(result), std::forward<F>(block)));
  }

 private:
  template <class T, class F>
  static Task<Result<T>> onSuccessTask(Result<T> result, F block) {
    if (result.isSuccess()) {
      if constexpr (std::is_void_v<T>) {
        co_await std::invoke(block);
      } else {
        co_await std::invoke(block, std::as_const(result).value());
      }
    }
    co_return result;
  }

  template <class T, class F>
  static Task<Result<T>> onFailureTask(Result<T> result, F block) {
    if (result.isFailure()) co_await std::invoke(block, result.error());
    co_return result;
  }
};

}  // namespace mornik::detail

MORNIK_EXPORTS_END
