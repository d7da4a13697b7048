#include "mornik/time/TimerPublisher.hpp"

#include <cmath>
#include <utility>
#include <vector>

#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/concurrency/RunLoop.hpp"

namespace mornik {

namespace {

// A publisher's state under its lock.
struct PublisherShared {
  std::vector<std::weak_ptr<const std::function<void(Date)>>> subscribers;
  std::shared_ptr<RunLoopTimer> timer;
  bool connected = false;
  bool stopped = false;
};

}  // namespace

struct TimerPublisher::State {
  using Block = std::function<void(Date)>;
  using Shared = PublisherShared;

  explicit State(double every) : interval(every) {}
  ~State() {
    if (auto timer = shared.wrapped().timer) timer->invalidate();
  }

  // On the main thread: attaches the timer unless stopped (or started).
  static void connect(const std::shared_ptr<State>& state) {
    if (!std::isfinite(state->interval)) return;
    auto timer = RunLoopTimer::scheduled(state->interval, true,
                                         [weak = std::weak_ptr<State>(state)](RunLoopTimer& self) {
                                           auto live = weak.lock();
                                           if (!live) {
                                             self.invalidate();
                                             return;
                                           }
                                           live->tick();
                                         });
    const bool kept = state->shared.access([&](Shared& s) {
      if (s.stopped) return false;
      s.timer = timer;
      return true;
    });
    if (!kept) timer->invalidate();
  }

  void tick() {
    std::vector<std::shared_ptr<const Block>> live;
    shared.access([&](Shared& s) {
      std::erase_if(s.subscribers, [&](const std::weak_ptr<const Block>& weak) {
        auto block = weak.lock();
        if (!block) return true;
        live.push_back(std::move(block));
        return false;
      });
    });
    const Date now = Date::now();
    for (const auto& block : live) (*block)(now);
  }

  const double interval;
  LockedVar<Shared> shared;
};

TimerPublisher::TimerPublisher(double every) : state_(std::make_shared<State>(every)) {}

double TimerPublisher::interval() const noexcept { return state_->interval; }

Subscription TimerPublisher::subscribe(std::function<void(Date)> block) const {
  auto owned = std::make_shared<const State::Block>(std::move(block));
  const bool connect = state_->shared.access([&](State::Shared& s) {
    s.subscribers.push_back(owned);
    return !s.stopped && !std::exchange(s.connected, true);
  });
  if (connect) State::connect(state_);
  return Subscription(std::move(owned));
}

void TimerPublisher::stopTimerPublisher() const {
  std::shared_ptr<RunLoopTimer> timer = state_->shared.access([](State::Shared& s) {
    s.stopped = true;
    s.subscribers.clear();
    return std::exchange(s.timer, nullptr);
  });
  if (timer) timer->invalidate();
}

}  // namespace mornik
