#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchTimerSource.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/concurrency/QoS.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/flow/signal/Signal.hpp"

MORNIK_EXPORTS_BEGIN

// Thinning a fast signal in time: debounce() and throttle().
//
//   auto typed = Flow::Signal<std::string>::make(DispatchQueue::main());
//   typed->debounce(0.3)->onUpdate(DispatchQueue::main(), [](const std::string& q) { search(q); });
//   auto saves = content->throttle(1.0, Flow::AfterThrottling::sendLast);
//
// Both return a new signal, the destination. The first value of a quiet
// period passes to it at once and opens a window of the given length; values
// that arrive while the window is open are held back (at most one is kept);
// when the window ends, the held value, if any, is delivered and a new window
// opens at once; a window that ends with nothing held closes, and the next
// value passes at once again. So two deliveries are never closer than one
// window (up to the timer's accuracy), a series of deliveries ends one empty
// window after the last one, and with debounce() (or sendLast) the last value
// of a burst is always delivered. Which held value a window keeps:
// debounce() and AfterThrottling::sendLast the latest, sendFirst the first,
// none nothing (a window then only delays the next value that may pass).
//
// Timing: the window is the interval in seconds truncated toward zero to
// whole microseconds; zero or negative windows end as soon as possible. An
// interval that is not finite, or whose microsecond count does not fit a
// signed 64-bit integer, throws std::invalid_argument and leaves the source
// untouched. Each window is a one-shot DispatchTimerSource with zero leeway
// on a serial queue of user-interactive class of service that belongs to
// one application of the operator; the window's timer starts when its
// window opens (after the delivery that opened it).
//
// Queues: values arrive on the source's queue (the operator registers there
// without a queue of its own, so a source holding a value hands it over as
// the first arrival). The destination starts empty; its handlers run on the
// global user-interactive queue unless they name another. Deciding what to
// do with a value, delivering it (destination->update) and opening or
// closing a window happen under one lock of the operator, so a value that
// arrives while a window ends is either held by that window or passes at
// once, never lost, also when the source's queue is concurrent. "Latest"
// and "first" are in the order values reach that lock: on a serial source
// queue the order of the updates, on a concurrent one whichever delivery
// gets there first (two updates in quick succession may arrive swapped, and
// a window may then keep the older value). Give the source a serial queue
// where the last value must win.
//
// Ownership: the source holds the operator (through retain()), and with it
// the destination, for as long as the source lives; the operator holds the
// source only through its weak registration. An open window's timer holds
// the operator until the window closes, so a value held when the source
// goes is still delivered, and everything is released one empty window
// later. Nothing cancels a window.
//
// Thread safety: debounce() and throttle() may be called from any thread, on
// any source.
namespace mornik::Flow {

// What a throttle window keeps of the values that arrive while it is open.
enum class AfterThrottling : std::uint8_t {
  sendLast,   // the latest one (each new value replaces the held one)
  sendFirst,  // the first one (later ones are dropped while one is held)
  none,       // nothing (every value that arrives while it is open is dropped)
};

}  // namespace mornik::Flow

namespace mornik::detail {

// The window length in whole microseconds (truncated toward zero), or
// std::invalid_argument naming `operation`.
inline std::int64_t throttleWindowMicros(double seconds, const char* operation) {
  const double micros = seconds * 1e6;
  constexpr double kLimit = 9223372036854775808.0;  // 2^63
  if (!std::isfinite(micros) || micros >= kLimit || micros < -kLimit) {
    throw std::invalid_argument(std::string(operation) +
                                ": the interval must be finite and fit 64-bit microseconds");
  }
  return static_cast<std::int64_t>(micros);
}

// One application of debounce() or throttle(): the held value, the open
// window's timer and the destination (see the overview above).
template <class T>
class ThrottleEventSource final : public std::enable_shared_from_this<ThrottleEventSource<T>> {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  static std::shared_ptr<ThrottleEventSource> make(Flow::AfterThrottling after,
                                                   std::int64_t windowMicros,
                                                   const char* queueLabel) {
    return std::make_shared<ThrottleEventSource>(Passkey(), after, windowMicros, queueLabel);
  }

  ThrottleEventSource(Passkey /*unused*/, Flow::AfterThrottling after, std::int64_t windowMicros,
                      const char* queueLabel)
      : after_(after),
        queue_(queueLabel, QoS::userInteractive),
        windowSeconds_(static_cast<double>(windowMicros) / 1e6),
        destination_(Flow::Signal<T>::make(DispatchQueue::global(QoS::userInteractive))) {}

  const std::shared_ptr<Flow::Signal<T>>& destination() const noexcept { return destination_; }

  // A value from the source: with no window open, deliver it and open one;
  // else hold it (or not) as `after_` says.
  void arrive(const T& value) MORNIK_EXCLUDES(lock_) {
    std::shared_ptr<DispatchTimerSource> released;  // destroyed after the lock
    ScopedLock<UnfairLock> guard(lock_);
    if (!timer_) {
      nextUpdate_.reset();
      destination_->update(value);
      released = openWindowLocked();
      return;
    }
    switch (after_) {
      case Flow::AfterThrottling::sendLast:
        nextUpdate_ = value;
        break;
      case Flow::AfterThrottling::sendFirst:
        if (!nextUpdate_) nextUpdate_ = value;
        break;
      case Flow::AfterThrottling::none:
        break;
    }
  }

 private:
  // The end of the open window (on queue_): deliver the held value and open
  // the next window, or close.
  void windowEnded() MORNIK_EXCLUDES(lock_) {
    std::shared_ptr<DispatchTimerSource> released;  // destroyed after the lock
    ScopedLock<UnfairLock> guard(lock_);
    if (nextUpdate_) {
      const T held = std::move(*nextUpdate_);
      nextUpdate_.reset();
      destination_->update(held);
      released = openWindowLocked();
    } else {
      released = std::exchange(timer_, nullptr);
    }
  }

  // Starts a window's timer, which holds this object until it fires; returns
  // the previous timer (the one firing now, or none).
  std::shared_ptr<DispatchTimerSource> openWindowLocked() MORNIK_REQUIRES(lock_) {
    auto timer = DispatchTimerSource::make(queue_);
    timer->schedule(windowSeconds_);
    timer->setEventHandler([self = this->shared_from_this()] { self->windowEnded(); });
    timer->resume();
    return std::exchange(timer_, std::move(timer));
  }

  const Flow::AfterThrottling after_;
  UnfairLock lock_;
  std::optional<T> nextUpdate_ MORNIK_GUARDED_BY(lock_);
  const DispatchQueue queue_;
  std::shared_ptr<DispatchTimerSource> timer_ MORNIK_GUARDED_BY(lock_);  // none: no window
  const double windowSeconds_;
  const std::shared_ptr<Flow::Signal<T>> destination_;
};

// Applies one operator to `source` and returns its destination.
template <class T>
std::shared_ptr<Flow::Signal<T>> applyThrottle(Flow::Signal<T>& source, double interval,
                                               Flow::AfterThrottling after, const char* operation,
                                               const char* queueLabel) {
  const std::int64_t window = throttleWindowMicros(interval, operation);
  auto events = ThrottleEventSource<T>::make(after, window, queueLabel);
  source.retain(events);
  source.onUpdate(events, [](ThrottleEventSource<T>& self, const T& value) { self.arrive(value); });
  return events->destination();
}

}  // namespace mornik::detail

namespace mornik::Flow {

template <class T>
typename Signal<T>::Pointer Signal<T>::debounce(double interval) {
  return mornik::detail::applyThrottle(*this, interval, AfterThrottling::sendLast,
                                       "Signal::debounce", "Debounce.Timer");
}

template <class T>
typename Signal<T>::Pointer Signal<T>::throttle(double interval, AfterThrottling after) {
  return mornik::detail::applyThrottle(*this, interval, after, "Signal::throttle",
                                       "Throttle.Timer");
}

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
