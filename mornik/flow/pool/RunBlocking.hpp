#pragma once

#include <memory>
#include <type_traits>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/QoS.hpp"
#include "mornik/flow/pool/Pool.hpp"

MORNIK_EXPORTS_BEGIN

// Bridges from asynchronous work (a block returning a Task) to blocking code.
//
//   Result<Page> page = mornik::getSyncResultFromR([] { return loadPage(3); });
//   Page same = mornik::getSyncResultFrom([] { return loadPage(3); });  // throws Error
//
// The task runs on the global user-initiated queue, as a future of a pool
// of its own, while the calling thread blocks until it finishes. The caller
// may be any thread the task does not need: blocking a worker of the shared
// pool is allowed (the executor adds a worker for the time), but blocking a
// serial queue that the task itself submits to deadlocks. The bridge waits
// with Future::wait(): where the library sees the cycle (the task, still in
// its first step, blocked on a queue the caller holds; see BlockingWait),
// the bridge fails with the deadlock error (isDeadlockError) instead; a
// task suspended in co_await is out of its sight.
namespace mornik {

namespace detail {

// The state of one blocking bridge: a pool that owns the work.
template <class T>
class RunBlocking {
 public:
  RunBlocking() : pool_(Flow::Pool::make(DispatchQueue::global(QoS::userInitiated))) {}

  template <class F>
  Result<T> run(F&& block) {
    return pool_->future(std::forward<F>(block))->wait();
  }

 private:
  std::shared_ptr<Flow::Pool> pool_;
};

}  // namespace detail

// The value of the task `block()` returns, waited for on the calling thread;
// the task's exception (as an Error) is thrown.
template <class F>
  requires Flow::TaskReturningBlock<F>
Flow::TaskValueOf<F> getSyncResultFrom(F&& block) {
  using T = Flow::TaskValueOf<F>;
  Result<T> result = detail::RunBlocking<T>().run(std::forward<F>(block));
  if (result.isFailure()) throw result.error();
  if constexpr (!std::is_void_v<T>) return std::move(result).value();
}

// The same as a Result: the value, or the task's exception as the failure.
template <class F>
  requires Flow::TaskReturningBlock<F>
Result<Flow::TaskValueOf<F>> getSyncResultFromR(F&& block) {
  return detail::RunBlocking<Flow::TaskValueOf<F>>().run(std::forward<F>(block));
}

}  // namespace mornik

MORNIK_EXPORTS_END
