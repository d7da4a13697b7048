#pragma once

#include <functional>
#include <memory>
#include <variant>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// What a TimerCall does; intervals in seconds.
//
//   continious(interval)           the action every interval until invalidated
//   oneTime(interval)              the action once, interval after creation
//   stopCondition(interval, cond)  every interval: cond() first; true ends the
//                                  timer without the action, false runs it
class TimerCallType {
 public:
  struct Continious {
    double interval = 0;
  };
  struct OneTime {
    double interval = 0;
  };
  struct StopCondition {
    double interval = 0;
    std::function<bool()> cond;
  };
  using Case = std::variant<Continious, OneTime, StopCondition>;

  static TimerCallType continious(double interval) { return TimerCallType(Continious{interval}); }
  static TimerCallType oneTime(double interval) { return TimerCallType(OneTime{interval}); }
  static TimerCallType stopCondition(double interval, std::function<bool()> cond) {
    return TimerCallType(StopCondition{interval, std::move(cond)});
  }

  const Case& value() const noexcept { return value_; }
  template <class C>
  const C* getIf() const noexcept {
    return std::get_if<C>(&value_);
  }
  double interval() const noexcept;

 private:
  explicit TimerCallType(Case value) : value_(std::move(value)) {}
  Case value_;
};

// A self-contained timer on the creating thread's run loop that calls an
// action.
//
//   auto blink = mornik::TimerCall::make(mornik::TimerCallType::continious(0.5),
//                                        [&] { cursor.toggle(); });
//   ...
//   blink->invalidate();
//
// Each tick, in order: nothing if already invalidated; for stopCondition,
// cond(), and when it holds, invalidate (the action becomes a no-operation);
// the action; for oneTime, invalidate. An interval of zero or less is the run
// loop's shortest (0.1 ms); a NaN or infinite one gives a timer that is
// invalid from the start and never runs (no exception).
//
// Thread safety: a TimerCall belongs to the thread that made it: ticks,
// cond() and the action run there (while it runs its run loop), and
// invalidate() and isValid() are called there, the action included.
// invalidate() is idempotent; after it no tick starts.
// Ownership: the run loop's timer holds the TimerCall, so a running one
// lives until it is invalidated, whether the caller keeps the handle or not.
// invalidate() releases the action.
class TimerCall : public std::enable_shared_from_this<TimerCall> {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Action = std::function<void()>;

  // Starts the timer at once. `stopCondition` has no effect (the condition
  // that counts is the one of the type); the form is kept for callers that
  // pass one.
  static std::shared_ptr<TimerCall> make(TimerCallType type,
                                         const std::function<bool()>& stopCondition, Action action);
  static std::shared_ptr<TimerCall> make(TimerCallType type, Action action) {
    return make(std::move(type), nullptr, std::move(action));
  }

  TimerCall(Passkey /*unused*/, TimerCallType type, Action action);
  TimerCall(const TimerCall&) = delete;
  TimerCall& operator=(const TimerCall&) = delete;

  // The timer's callback (see above). Called by the timer; calling it by
  // hand runs a tick now, on the calling thread.
  void updateCounting() MORNIK_EXCLUDES(lock_);
  // Stops the timer for good.
  void invalidate() MORNIK_EXCLUDES(lock_);
  bool isValid() const MORNIK_EXCLUDES(lock_);
  const TimerCallType& type() const noexcept { return type_; }

 private:
  const TimerCallType type_;
  mutable UnfairLock lock_;
  std::shared_ptr<const Action> action_ MORNIK_GUARDED_BY(lock_);
  std::function<bool()> cond_ MORNIK_GUARDED_BY(lock_);
  std::shared_ptr<RunLoopTimer> timer_ MORNIK_GUARDED_BY(lock_);
};

}  // namespace mornik

MORNIK_EXPORTS_END
