#include "mornik/concurrency/DispatchTimerSource.hpp"

#include <cmath>
#include <stdexcept>

namespace mornik {

using Guard = detail::ScopedLock<UnfairLock>;

std::shared_ptr<DispatchTimerSource> DispatchTimerSource::make(DispatchQueue queue) {
  return std::make_shared<DispatchTimerSource>(Passkey{}, std::move(queue));
}

void DispatchTimerSource::schedule(double seconds) {
  if (std::isnan(seconds) || seconds == HUGE_VAL) {
    throw std::invalid_argument("DispatchTimerSource::schedule: the interval is not finite");
  }
  const std::int64_t deadline = detail::monotonicNowNs() + detail::delayToNs(seconds);
  Guard guard(lock_);
  deadline_ = deadline;
  fired_ = false;
  if (resumed_) armLocked(++generation_, deadline);
}

void DispatchTimerSource::setEventHandler(std::function<void()> handler) {
  std::function<void()> previous;  // destroyed after the lock is released
  Guard guard(lock_);
  previous = std::move(handler_);
  handler_ = std::move(handler);
}

void DispatchTimerSource::resume() {
  Guard guard(lock_);
  if (resumed_) return;
  resumed_ = true;
  if (deadline_ >= 0 && !fired_) armLocked(++generation_, deadline_);
}

void DispatchTimerSource::cancel() noexcept { cancelled_.store(true, std::memory_order_release); }

void DispatchTimerSource::armLocked(std::uint64_t generation, std::int64_t deadline) {
  std::weak_ptr<DispatchTimerSource> weak = weak_from_this();
  detail::enqueueAt(deadline, queue_.impl(), detail::makeWorkItem([weak, generation] {
                      if (auto self = weak.lock()) self->fire(generation);
                    }));
}

void DispatchTimerSource::fire(std::uint64_t generation) {
  if (isCancelled()) return;
  std::function<void()> handler;
  {
    Guard guard(lock_);
    if (generation != generation_ || fired_) return;
    fired_ = true;
    handler = handler_;
  }
  if (handler && !isCancelled()) handler();
}

}  // namespace mornik
