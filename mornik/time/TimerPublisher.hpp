#pragma once

#include <functional>
#include <memory>

#include "mornik/base/Export.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"
#include "mornik/text/Date.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// A stream of timer ticks for user-interface code: the date of each tick,
// every `every` seconds, on the main thread, from the first subscription on.
//
//   mornik::TimerPublisher clock(1.0);
//   mornik::Subscription s = clock.subscribe([&](mornik::Date now) { label.show(now); });
//   ...
//   clock.stopTimerPublisher();   // no more ticks, for every subscriber
//
// The timer is on the main run loop and starts with the first subscription.
// Each tick calls
// every live subscriber in subscription order with Date::now(); a released
// or cancelled Subscription gets no further tick. stopTimerPublisher() ends
// the ticks for good: later subscriptions get none. An interval of zero or
// less is the run loop's shortest (0.1 ms); NaN or infinity gives a
// publisher that never ticks.
//
// Thread safety: a publisher is used on the main thread (subscribe attaches
// the timer to the calling thread's run loop); blocks run there, never
// inside subscribe() and never under a lock.
// Ownership: copies share one timer; it stops when the last copy is
// released. A Subscription owns its block.
class TimerPublisher {
 public:
  explicit TimerPublisher(double every);

  Subscription subscribe(std::function<void(Date)> block) const;
  void stopTimerPublisher() const;

  double interval() const noexcept;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
