#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

class RunLoopTimer;
namespace detail {
struct HostLoopDrain;
}  // namespace detail

// A thread's event loop: it fires the timers attached to it and, on the
// process's initial thread (the main run loop), drains the main queue.
//
//   int main() {
//     mornik::DispatchQueue::global().async([] {
//       mornik::DispatchQueue::main().async([] { mornik::RunLoop::main().stop(); });
//     });
//     mornik::RunLoop::main().run();  // returns after the stop above
//   }
//
// Every thread has one run loop, created on first use. Only the owning thread
// may run it; a thread that never runs its loop never sees its timers fire.
// Running is re-entrant: a nested run inside main-queue work fires timers but
// does not drain the main queue again (its items stay in order).
//
// When nothing is due the loop sleeps without a timeout beyond its next
// timer, so an idle loop costs no CPU. runUntil() also re-checks its
// predicate at least every millisecond, so it notices changes made by other
// threads.
//
// A host loop (a toolkit's, HostLoop.hpp) may drive the main run loop's
// work instead; nesting works across both kinds of loop.
//
// Thread safety: stop() and wakeUp() may be called from any thread; run,
// runFor and runUntil only from the owning thread (anything else aborts).
class RunLoop : public std::enable_shared_from_this<RunLoop> {
 public:
  // The calling thread's run loop.
  static RunLoop& current();
  // The run loop of the process's initial thread.
  static RunLoop& main();

  // Runs until stop().
  void run();
  // Runs for `seconds` or until stop(). NaN throws std::invalid_argument;
  // +infinity runs until stop(); zero or less makes one pass.
  void runFor(double seconds);
  // Runs until `predicate` holds (true), or `timeoutSeconds` passed or stop()
  // was called (false). The predicate is checked on this thread before the
  // first pass, after every pass and at least once a millisecond.
  bool runUntil(const std::function<bool()>& predicate, double timeoutSeconds);
  // The std::chrono forms: the same with the duration in seconds.
  template <class Rep, class Period>
  void runFor(std::chrono::duration<Rep, Period> duration) {
    runFor(std::chrono::duration<double>(duration).count());
  }
  template <class Rep, class Period>
  bool runUntil(const std::function<bool()>& predicate,
                std::chrono::duration<Rep, Period> timeout) {
    return runUntil(predicate, std::chrono::duration<double>(timeout).count());
  }

  // Makes the innermost running run/runFor/runUntil return after its current
  // pass. Without a running loop, the next run returns after one pass.
  void stop() noexcept;
  // Wakes the loop if it sleeps, for a new pass.
  void wakeUp() noexcept;

  bool isMain() const noexcept { return isMain_; }

  struct Passkey {};
  RunLoop(Passkey /*unused*/, bool isMain, std::uint32_t ownerTag) noexcept;

 private:
  friend class RunLoopTimer;
  friend struct detail::HostLoopDrain;

  bool runCore(std::int64_t deadline, const std::function<bool()>* predicate);
  void checkOwner() const;
  // Fires the due timers; returns the next timer deadline (max if none).
  std::int64_t fireDueTimers();
  void attach(std::shared_ptr<RunLoopTimer> timer);

  const bool isMain_;
  const std::uint32_t ownerTag_;
  bool drainingMain_ = false;  // owner thread only
  // When the loop last ran work, and whether the thread's work-item caches
  // were handed back since (owner thread only).
  std::int64_t busyAtNs_ = 0;
  std::uint64_t poolActivityAtBusy_ = 0;  // the pool's activity count then
  bool cachesTrimmed_ = true;
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> sleeping_{false};
  std::atomic<std::uint32_t> epoch_{0};
  UnfairLock timersLock_;
  std::vector<std::shared_ptr<RunLoopTimer>> timers_ MORNIK_GUARDED_BY(timersLock_);
};

// A timer attached to a thread's run loop: it calls its block on that thread,
// once or every `interval` seconds, while the loop runs.
//
//   auto tick = mornik::RunLoopTimer::scheduled(1.0, true, [](auto&) { redraw(); });
//   ...
//   tick->invalidate();
//
// Repeating timers keep their schedule (no drift); ticks missed while the
// loop was busy collapse into one. A one-shot timer is invalid once it fired.
// The run loop holds the timer until it is invalidated (or, one-shot, fired);
// the block is released then.
//
// Thread safety: invalidate() and isValid() may be called from any thread;
// the block always runs on the loop's thread.
class RunLoopTimer : public std::enable_shared_from_this<RunLoopTimer> {
 public:
  using Block = std::function<void(RunLoopTimer&)>;

  // Attaches a timer to the calling thread's run loop. An interval of zero
  // or less is taken as 0.1 ms; NaN or infinity throws std::invalid_argument.
  static std::shared_ptr<RunLoopTimer> scheduled(double interval, bool repeats, Block block);
  template <class Rep, class Period>
  static std::shared_ptr<RunLoopTimer> scheduled(std::chrono::duration<Rep, Period> interval,
                                                 bool repeats, Block block) {
    return scheduled(std::chrono::duration<double>(interval).count(), repeats, std::move(block));
  }

  void invalidate() noexcept;
  bool isValid() const noexcept { return valid_.load(std::memory_order_acquire); }
  double interval() const noexcept { return static_cast<double>(intervalNs_) / 1e9; }
  bool repeats() const noexcept { return repeats_; }

  struct Passkey {};
  RunLoopTimer(Passkey /*unused*/, std::int64_t intervalNs, bool repeats, Block block);

 private:
  friend class RunLoop;

  const std::int64_t intervalNs_;
  const bool repeats_;
  Block block_;                  // loop thread only
  std::int64_t nextFireNs_ = 0;  // under the loop's timer lock
  std::atomic<bool> valid_{true};
  std::weak_ptr<RunLoop> loop_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
