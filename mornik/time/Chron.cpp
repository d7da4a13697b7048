#include "mornik/time/Chron.hpp"

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "mornik/base/UUID.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/text/Date.hpp"
#include "mornik/time/detail/Occurrence.hpp"
#include "mornik/time/detail/WallAlarms.hpp"

namespace mornik {

namespace detail {

// One schedule's live state: its action, its timer once it repeats, its
// wall-clock alarm while the first run is pending.
class TimerPair {
 public:
  explicit TimerPair(Chron::Action action)
      : action_(std::make_shared<const Chron::Action>(std::move(action))) {}

  // The timer's callback: the action, unless cancelled.
  void updateCounting() MORNIK_EXCLUDES(lock_) {
    std::shared_ptr<const Chron::Action> action;
    {
      ScopedLock<UnfairLock> guard(lock_);
      if (canceled_) return;
      action = action_;
    }
    (*action)();
  }

  // Takes the repeating timer; false (the caller invalidates it) when the
  // pair was cancelled meanwhile.
  bool adopt(std::shared_ptr<RunLoopTimer> timer) MORNIK_EXCLUDES(lock_) {
    ScopedLock<UnfairLock> guard(lock_);
    if (canceled_) return false;
    timer_ = std::move(timer);
    return true;
  }

  void setAlarm(std::uint64_t alarm) MORNIK_EXCLUDES(lock_) {
    {
      ScopedLock<UnfairLock> guard(lock_);
      if (!canceled_) {
        alarm_ = alarm;
        return;
      }
    }
    WallAlarms::shared().remove(alarm);
  }

  bool isCanceled() const MORNIK_EXCLUDES(lock_) {
    ScopedLock<UnfairLock> guard(lock_);
    return canceled_;
  }

  // Marks the pair, stops its timer or alarm and releases the action.
  void cancel() MORNIK_EXCLUDES(lock_) {
    std::shared_ptr<RunLoopTimer> timer;
    std::shared_ptr<const Chron::Action> action;
    std::uint64_t alarm = 0;
    {
      ScopedLock<UnfairLock> guard(lock_);
      canceled_ = true;
      timer = std::move(timer_);
      action = std::exchange(action_, noop());
      alarm = std::exchange(alarm_, 0);
    }
    if (timer) timer->invalidate();
    WallAlarms::shared().remove(alarm);
  }

 private:
  static std::shared_ptr<const Chron::Action> noop() {
    static const auto kNoop = std::make_shared<const Chron::Action>([] {});
    return kNoop;
  }

  mutable UnfairLock lock_;
  std::shared_ptr<RunLoopTimer> timer_ MORNIK_GUARDED_BY(lock_);
  std::shared_ptr<const Chron::Action> action_ MORNIK_GUARDED_BY(lock_);
  bool canceled_ MORNIK_GUARDED_BY(lock_) = false;
  std::uint64_t alarm_ MORNIK_GUARDED_BY(lock_) = 0;
};

}  // namespace detail

namespace {

constexpr double kDaySeconds = 86400.0;
// The first run of the time-of-day kinds comes this long after the time.
constexpr double kFirstRunLate = 0.1;

LockedVar<std::shared_ptr<Chron>>& sharedSlot() {
  static LockedVar<std::shared_ptr<Chron>> slot;
  return slot;
}

std::shared_ptr<RunLoopTimer> repeating(double period,
                                        const std::shared_ptr<detail::TimerPair>& pair) {
  return RunLoopTimer::scheduled(period, true,
                                 [weak = std::weak_ptr<detail::TimerPair>(pair)](RunLoopTimer&) {
                                   if (auto live = weak.lock()) live->updateCounting();
                                 });
}

// Plans the first run of a time-of-day kind from the wall clock's now.
detail::WallAlarms::Plan planFor(const ScheduleType& type) {
  if (type.getIf<ScheduleType::EveryDayBeginning>() != nullptr) {
    return [](double now) {
      return detail::startOfTomorrow(Date::fromUnixTimestamp(now)).unixTimestamp();
    };
  }
  std::int64_t hrs = 0;
  std::int64_t mins = 0;
  std::int64_t sec = 0;
  if (const auto* daily = type.getIf<ScheduleType::EveryDay>()) {
    hrs = daily->hrs, mins = daily->mins, sec = daily->sec;
  } else if (const auto* single = type.getIf<ScheduleType::SingleTimeAt>()) {
    hrs = single->hrs, mins = single->mins, sec = single->sec;
  }
  return [hrs, mins, sec](double now) {
    const auto next = detail::nextOccurrence(Date::fromUnixTimestamp(now), hrs, mins, sec);
    return next ? next->unixTimestamp() + kFirstRunLate : HUGE_VAL;
  };
}

}  // namespace

double ScheduleType::everyPeriod(const Every& every) noexcept {
  std::int64_t total = 0;
  std::int64_t part = 0;
  if (__builtin_mul_overflow(every.hrs, std::int64_t{3600}, &total) ||
      __builtin_mul_overflow(every.mins, std::int64_t{60}, &part) ||
      __builtin_add_overflow(total, part, &total) ||
      __builtin_add_overflow(total, every.sec, &total)) {
    return static_cast<double>(std::numeric_limits<std::int64_t>::max());
  }
  return total <= 0 ? 1.0 : static_cast<double>(total);
}

std::shared_ptr<Chron> Chron::make() { return std::make_shared<Chron>(Passkey()); }

std::shared_ptr<Chron> Chron::shared() {
  return sharedSlot().access([](std::shared_ptr<Chron>& slot) {
    if (!slot) slot = make();
    return slot;
  });
}

void Chron::setShared(std::shared_ptr<Chron> chron) {
  // The old instance is released outside the lock (its destructor cancels).
  std::shared_ptr<Chron> old = sharedSlot().access(
      [&](std::shared_ptr<Chron>& slot) { return std::exchange(slot, std::move(chron)); });
}

Chron::~Chron() { cancelAll(); }

std::string Chron::schedule(const ScheduleType& type, Action action) {
  std::string token = UUID::random().uuidString();
  if (const auto* every = type.getIf<ScheduleType::Every>()) {
    if (!every->skipFirst) action();
    auto pair = std::make_shared<detail::TimerPair>(std::move(action));
    pair->adopt(repeating(ScheduleType::everyPeriod(*every), pair));
    timers_.access([&](auto& table) { table.emplace(token, pair); });
    return token;
  }
  // The time-of-day kinds: a pending pair in the table at once, the first
  // run on a wall-clock alarm that hands it to the main queue.
  auto pair = std::make_shared<detail::TimerPair>(std::move(action));
  timers_.access([&](auto& table) { table.emplace(token, pair); });
  const bool daily = type.getIf<ScheduleType::SingleTimeAt>() == nullptr;
  std::weak_ptr<Chron> weakSelf = weak_from_this();
  std::weak_ptr<detail::TimerPair> weakPair = pair;
  pair->setAlarm(detail::WallAlarms::shared().add(planFor(type), [=] {
    DispatchQueue::main().async([=] {
      auto self = weakSelf.lock();
      auto live = weakPair.lock();
      if (self && live) self->firstRun(token, live, daily);
    });
  }));
  return token;
}

std::string Chron::scheduleAsyncFake(const ScheduleType& type, std::function<Task<void>()> action) {
  return schedule(type, [action = std::move(action)] {
    action().start(DispatchQueue::global(), [](const Result<void>&) {});
  });
}

void Chron::firstRun(const std::string& token, const std::shared_ptr<detail::TimerPair>& pair,
                     bool daily) {
  const bool current = timers_.read([&](const auto& table) {
    const auto found = table.find(token);
    return found != table.end() && found->second == pair;
  });
  if (!current) return;  // cancelled meanwhile
  pair->updateCounting();
  if (!daily) {
    timers_.access([&](auto& table) {
      const auto found = table.find(token);
      if (found != table.end() && found->second == pair) table.erase(found);
    });
    pair->cancel();  // releases the action
    return;
  }
  if (pair->isCanceled()) return;  // the action cancelled its own schedule
  auto timer = repeating(kDaySeconds, pair);
  if (!pair->adopt(timer)) timer->invalidate();
}

void Chron::cancel(const std::string& token) {
  std::shared_ptr<detail::TimerPair> pair = timers_.access([&](auto& table) {
    std::shared_ptr<detail::TimerPair> found;
    if (auto node = table.extract(token)) found = std::move(node.mapped());
    return found;
  });
  if (pair) pair->cancel();
}

void Chron::cancelAll() {
  auto table = timers_.access([](auto& live) { return std::exchange(live, {}); });
  for (auto& [token, pair] : table) pair->cancel();
}

bool Chron::contains(const std::string& token) const {
  return timers_.read([&](const auto& table) { return table.contains(token); });
}

std::size_t Chron::count() const {
  return timers_.read([](const auto& table) { return table.size(); });
}

}  // namespace mornik
