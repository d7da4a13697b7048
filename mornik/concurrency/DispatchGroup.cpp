#include "mornik/concurrency/DispatchGroup.hpp"

#include <atomic>
#include <climits>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "mornik/base/Fatal.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/concurrency/detail/Futex.hpp"
#include "mornik/concurrency/detail/TestHooks.hpp"

namespace mornik {

struct DispatchGroup::State {
  std::atomic<std::int64_t> count{0};
  std::atomic<std::uint32_t> generation{0};  // bumped each time the count reaches zero
  UnfairLock lock;
  std::vector<std::pair<DispatchQueue, std::function<void()>>> notifications;
};

DispatchGroup::DispatchGroup() : state_(std::make_shared<State>()) {}

void DispatchGroup::enter() const noexcept {
  state_->count.fetch_add(1, std::memory_order_relaxed);
}

void DispatchGroup::leave() const noexcept {
  const std::int64_t remaining = state_->count.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (remaining < 0) detail::fatal("DispatchGroup: leave() without a matching enter()");
  if (remaining > 0) return;
  state_->generation.fetch_add(1, std::memory_order_release);
  detail::futexWake(state_->generation, INT_MAX);
  std::vector<std::pair<DispatchQueue, std::function<void()>>> due;
  state_->lock.locked([&] { due.swap(state_->notifications); });
  for (auto& [queue, work] : due) queue.async(std::move(work));
}

void DispatchGroup::wait() const noexcept { (void)wait(HUGE_VAL); }

bool DispatchGroup::wait(double timeoutSeconds) const noexcept {
  const bool unlimited = std::isinf(timeoutSeconds) && timeoutSeconds > 0;
  const std::int64_t deadline =
      unlimited ? 0 : detail::monotonicNowNs() + detail::delayToNs(timeoutSeconds);
  if (state_->count.load(std::memory_order_acquire) == 0) return true;
  detail::BlockingRegion blocking;
  for (;;) {
    const std::uint32_t generation = state_->generation.load(std::memory_order_acquire);
    if (state_->count.load(std::memory_order_acquire) == 0) return true;
    if (!unlimited && detail::monotonicNowNs() >= deadline) return false;
    detail::testPoint(detail::TestPoint::groupWaitSleeps, state_.get());
    detail::futexWaitUntil(state_->generation, generation,
                           unlimited ? detail::kNoDeadline : deadline);
  }
}

void DispatchGroup::notify(const DispatchQueue& queue, std::function<void()> work) const {
  const bool now = state_->lock.locked([&] {
    if (state_->count.load(std::memory_order_acquire) == 0) return true;
    state_->notifications.emplace_back(queue, std::move(work));
    return false;
  });
  if (now) queue.async(std::move(work));
}

}  // namespace mornik
