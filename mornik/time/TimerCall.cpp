#include "mornik/time/TimerCall.hpp"

#include <cmath>
#include <utility>

namespace mornik {

namespace {
std::shared_ptr<const TimerCall::Action> noop() {
  static const auto kNoop = std::make_shared<const TimerCall::Action>([] {});
  return kNoop;
}
}  // namespace

double TimerCallType::interval() const noexcept {
  if (const auto* once = getIf<OneTime>()) return once->interval;
  if (const auto* stop = getIf<StopCondition>()) return stop->interval;
  return std::get_if<Continious>(&value_)->interval;
}

TimerCall::TimerCall(Passkey /*unused*/, TimerCallType type, Action action)
    : type_(std::move(type)), action_(std::make_shared<const Action>(std::move(action))) {
  if (const auto* stop = type_.getIf<TimerCallType::StopCondition>()) cond_ = stop->cond;
}

std::shared_ptr<TimerCall> TimerCall::make(TimerCallType type,
                                           const std::function<bool()>& /*stopCondition*/,
                                           Action action) {
  auto call = std::make_shared<TimerCall>(Passkey(), std::move(type), std::move(action));
  const double interval = call->type_.interval();
  if (!std::isfinite(interval)) {
    call->invalidate();
    return call;
  }
  // The run loop holds the timer and the timer holds the call, until
  // invalidate() drops the timer.
  auto timer =
      RunLoopTimer::scheduled(interval, call->type_.getIf<TimerCallType::OneTime>() == nullptr,
                              [call](RunLoopTimer&) { call->updateCounting(); });
  detail::ScopedLock<UnfairLock> guard(call->lock_);
  call->timer_ = std::move(timer);
  return call;
}

void TimerCall::updateCounting() {
  std::function<bool()> cond;
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    if (!timer_) return;
    cond = cond_;
  }
  if (cond && cond()) invalidate();
  std::shared_ptr<const Action> action;
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    action = action_;
  }
  (*action)();
  if (type_.getIf<TimerCallType::OneTime>() != nullptr) invalidate();
}

void TimerCall::invalidate() {
  std::shared_ptr<RunLoopTimer> timer;
  std::shared_ptr<const Action> action;
  std::function<bool()> cond;
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    timer = std::move(timer_);
    action = std::exchange(action_, noop());
    cond = std::move(cond_);
    cond_ = nullptr;
  }
  // Released outside the lock: the timer's block holds this call.
  if (timer) timer->invalidate();
}

bool TimerCall::isValid() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return timer_ != nullptr;
}

}  // namespace mornik
