#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <system_error>
#include <utility>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// A flag that work polls to learn that nobody wants its result any more,
// with one action that runs when the flag is raised (a pool's cancellable
// future sets it to fail the future with cancelledError()).
//
//   auto answer = pool->cancellableFuture([](const Flow::CancellationToken& token) -> Result<int> {
//     for (int step = 0; step < 100; ++step) {
//       if (token.isCancelled()) return Flow::cancelledError();
//       crunch(step);
//     }
//     return 42;
//   });
//   pool->discard(answer->id());   // answer fails with cancelledError(), unless it completed
//
// cancel() raises the flag once: the first call returns true and runs the
// action (on the cancelling thread, outside every library lock); later
// calls return false and do nothing. Writes before the cancelling call are
// visible to work that finds the token cancelled.
//
// Thread safety: every member may be called from any thread; copies share
// one flag. Ownership: the token owns its action; the action should hold
// what it acts on weakly.
class CancellationToken {
 public:
  CancellationToken() : state_(std::make_shared<State>()) {}

  bool isCancelled() const noexcept { return state_->cancelled.load(std::memory_order_acquire); }

  // Raises the flag; returns whether this call raised it.
  bool cancel() const {
    if (state_->cancelled.exchange(true, std::memory_order_acq_rel)) return false;
    // The action was set before the token was handed out (onCancel), and
    // only this call reads it.
    if (state_->action) std::exchange(state_->action, nullptr)();
    return true;
  }

  // Sets the action, before the token is shared with other threads.
  void onCancel(std::function<void()> action) const { state_->action = std::move(action); }

 private:
  struct State {
    std::atomic<bool> cancelled{false};
    std::function<void()> action;
  };
  std::shared_ptr<State> state_;
};

// The failure of cancelled work: POSIX ECANCELED, "the work was cancelled".
inline Error cancelledError() {
  return Error(
      std::string(kPOSIXErrorDomain), static_cast<std::int64_t>(std::errc::operation_canceled),
      UserInfo{{std::string(kLocalizedDescriptionKey), std::string("the work was cancelled")}});
}

// Whether `error` is the failure of cancelled work.
inline bool isCancelledError(const Error& error) noexcept {
  return error.is(std::errc::operation_canceled);
}

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
