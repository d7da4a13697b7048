#pragma once

#include <functional>
#include <type_traits>
#include <utility>

#include "mornik/base/Result.hpp"
#include "mornik/concurrency/Task.hpp"

namespace mornik::detail {

// The asynchronous onSuccess / onFailure of Result: a block that returns a
// Task makes them coroutines. The returned Task<Result<T>>, once awaited or
// started, awaits the block on the matching case and then yields the result
// unchanged. An exception thrown by the block reaches the awaiter.
//
//   Task<> save(int n);
//   Result<int> r = 5;
//   Result<int> same = co_await r.onSuccess([](const int& n) { return save(n); });
template <class U>
struct AsyncResultBlock<Task<U>> {
  template <class T, class F>
  static Task<Result<T>> onSuccess(Result<T> result, F block) {
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
  static Task<Result<T>> onFailure(Result<T> result, F block) {
    if (result.isFailure()) co_await std::invoke(block, result.error());
    co_return result;
  }
};

}  // namespace mornik::detail
