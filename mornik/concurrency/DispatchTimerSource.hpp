#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A one-shot timer that runs an event handler on a queue at a deadline.
//
//   auto timer = mornik::DispatchTimerSource::make(queue);
//   timer->schedule(0.5);                     // half a second from now
//   timer->setEventHandler([] { flush(); });
//   timer->resume();                          // armed
//
// The handler runs at most once, on the timer's queue, no earlier than the
// deadline (zero leeway). Cancelling the timer, or releasing the last
// shared_ptr to it, ends it: a handler that has not started by then never
// runs. Scheduling again replaces the deadline (a pending firing of the old
// deadline is dropped).
//
// Ownership: the timer holds its handler; the executor holds the timer only
// weakly. A handler capturing the timer strongly keeps it alive until it
// fires or is cancelled.
//
// Thread safety: every member may be called from any thread.
class DispatchTimerSource : public std::enable_shared_from_this<DispatchTimerSource> {
 public:
  static std::shared_ptr<DispatchTimerSource> make(DispatchQueue queue);

  // Sets the deadline to now + `seconds` (zero or less: as soon as possible).
  // NaN or +infinity throws std::invalid_argument.
  void schedule(double seconds);
  template <class Rep, class Period>
  void schedule(std::chrono::duration<Rep, Period> delay) {
    schedule(std::chrono::duration<double>(delay).count());
  }
  void setEventHandler(std::function<void()> handler);
  // Arms the timer; a timer resumed before it is scheduled arms at schedule().
  void resume();
  // Ends the timer; the handler does not run afterwards (one already running
  // finishes).
  void cancel() noexcept;
  bool isCancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }

  const DispatchQueue& queue() const noexcept { return queue_; }

 private:
  struct Passkey {};

 public:
  DispatchTimerSource(Passkey /*unused*/, DispatchQueue queue) : queue_(std::move(queue)) {}

 private:
  void armLocked(std::uint64_t generation, std::int64_t deadline) MORNIK_REQUIRES(lock_);
  void fire(std::uint64_t generation);

  const DispatchQueue queue_;
  mutable UnfairLock lock_;
  std::function<void()> handler_ MORNIK_GUARDED_BY(lock_);
  std::int64_t deadline_ MORNIK_GUARDED_BY(lock_) = -1;  // -1: not scheduled
  std::uint64_t generation_ MORNIK_GUARDED_BY(lock_) = 0;
  bool resumed_ MORNIK_GUARDED_BY(lock_) = false;
  bool fired_ MORNIK_GUARDED_BY(lock_) = false;
  std::atomic<bool> cancelled_{false};
};

}  // namespace mornik

MORNIK_EXPORTS_END
