#include "mornik/time/detail/WallAlarms.hpp"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include <sys/timerfd.h>
#include <unistd.h>

#include "mornik/base/Error.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/fileio/UniqueFd.hpp"
#include "mornik/log/Debug.hpp"
#include "mornik/reactor/FdWatcher.hpp"

namespace mornik::detail {

namespace {

std::atomic<double> gTestOffset{0.0};
std::atomic<std::uint64_t> gClockChanges{0};

double realWallNow() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// An alarm counts as due this close before its time (the timer and the
// clock reading round differently).
constexpr double kSlack = 1e-6;

}  // namespace

namespace {

struct Alarm {
  double due;
  WallAlarms::Plan plan;
  WallAlarms::Fire fire;
};

struct AlarmTable {
  std::map<std::uint64_t, Alarm> alarms;
  std::set<std::pair<double, std::uint64_t>> order;  // (due, id), finite dues only
  std::uint64_t nextId = 1;
  double armedFor = HUGE_VAL;
  bool started = false;
};

}  // namespace

struct WallAlarms::State {
  using Alarm = ::mornik::detail::Alarm;
  using Table = AlarmTable;

  DispatchQueue queue{"mornik.chron"};
  UniqueFd timer;  // the timerfd; invalid when it could not be made
  std::shared_ptr<FdWatch> watch;
  LockedVar<Table> table;

  void insertOrder(Table& t, std::uint64_t id, double due) {
    if (std::isfinite(due)) t.order.emplace(due, id);
  }

  // Arms the timer for the earliest alarm (under the table's lock).
  void arm(Table& t) {
    const double next = t.order.empty() ? HUGE_VAL : t.order.begin()->first;
    if (next == t.armedFor) return;
    t.armedFor = next;
    if (!timer) {
      if (std::isfinite(next)) {
        const double delay = std::max(0.0, next - now());
        queue.asyncAfter(delay, [] { shared().process(false); });
      }
      return;
    }
    itimerspec alarm{};
    if (std::isfinite(next)) {
      // Absolute, on the real clock: the test offset is taken back out.
      const double real = std::max(next - gTestOffset.load(std::memory_order_relaxed), 1e-9);
      const double whole = std::floor(real);
      alarm.it_value.tv_sec = static_cast<time_t>(whole);
      alarm.it_value.tv_nsec = std::min<long>(static_cast<long>((real - whole) * 1e9), 999'999'999);
      if (alarm.it_value.tv_sec == 0 && alarm.it_value.tv_nsec == 0) alarm.it_value.tv_nsec = 1;
    }
    if (timerfd_settime(timer.get(), TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &alarm,
                        nullptr) != 0) {
      printDbg(
          Error::fromErrno(errno, "Chron: cannot arm the wall-clock timer").localizedDescription());
    }
  }
};

WallAlarms::WallAlarms() : state_(new State) {
  state_->timer = UniqueFd(timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!state_->timer) {
    printDbg(Error::fromErrno(errno, "Chron: no wall-clock timer, first runs are polled")
                 .localizedDescription());
  }
}

WallAlarms& WallAlarms::shared() {
  // Never destroyed: alarms may be added and fire until the process ends.
  static auto* const instance = new WallAlarms;
  return *instance;
}

double WallAlarms::now() noexcept {
  return realWallNow() + gTestOffset.load(std::memory_order_relaxed);
}

std::uint64_t WallAlarms::clockChangesHandled() noexcept {
  return gClockChanges.load(std::memory_order_acquire);
}

void WallAlarms::setTestOffset(double seconds) {
  gTestOffset.store(seconds, std::memory_order_relaxed);
  WallAlarms& alarms = shared();
  alarms.state_->queue.async([&alarms] { alarms.process(true); });
}

std::uint64_t WallAlarms::add(Plan plan, Fire fire) {
  State& s = *state_;
  const double current = now();
  std::uint64_t id = 0;
  bool start = false;
  s.table.access([&](State::Table& t) {
    id = t.nextId++;
    const double due = plan(current);
    t.alarms.emplace(id, State::Alarm{due, std::move(plan), std::move(fire)});
    s.insertOrder(t, id, due);
    start = !std::exchange(t.started, true);
    // An expiry before the watch below exists stays in the descriptor and
    // is reported when the watch starts.
    s.arm(t);
  });
  if (start && s.timer) {
    // The descriptor is borrowed: the service keeps it for the process.
    FdWatcher::Options options;
    options.queue = s.queue;
    auto watch = FdWatcher::watchBorrowed(s.timer.get(), options, [this](FdWatch& w, FdEvents) {
      std::uint64_t expirations = 0;
      bool changed = false;
      while (true) {
        if (::read(w.fd(), &expirations, sizeof expirations) >= 0) continue;
        if (errno != ECANCELED) break;  // EAGAIN: nothing more now
        changed = true;
      }
      process(changed);
      return true;
    });
    if (watch.isSuccess()) {
      s.watch = std::move(watch).value();
    } else {
      printDbg("Chron: cannot watch the wall-clock timer:", watch.error().localizedDescription());
      s.table.access([&](State::Table& t) {
        s.timer.reset();
        t.armedFor = std::nan("");
        s.arm(t);  // polled from now on
      });
    }
  }
  return id;
}

void WallAlarms::remove(std::uint64_t id) {
  if (id == 0) return;
  std::optional<State::Alarm> gone;
  state_->table.access([&](State::Table& t) {
    const auto found = t.alarms.find(id);
    if (found == t.alarms.end()) return;
    t.order.erase({found->second.due, id});
    gone = std::move(found->second);
    t.alarms.erase(found);
  });
  // The alarm's functions are released here, outside the lock.
}

std::size_t WallAlarms::count() const {
  return state_->table.read([](const State::Table& t) { return t.alarms.size(); });
}

void WallAlarms::process(bool clockChanged) {
  State& s = *state_;
  const double current = now();
  std::vector<Fire> due;
  std::size_t replanned = 0;
  s.table.access([&](State::Table& t) {
    if (clockChanged) {
      // Whatever is still to come is planned again from the new time; what
      // the clock jumped past stays due and fires below.
      t.armedFor = std::nan("");  // the kernel disarmed it
      for (auto& [id, alarm] : t.alarms) {
        if (alarm.due <= current + kSlack) continue;
        t.order.erase({alarm.due, id});
        alarm.due = alarm.plan(current);
        s.insertOrder(t, id, alarm.due);
        ++replanned;
      }
    }
    while (!t.order.empty() && t.order.begin()->first <= current + kSlack) {
      const std::uint64_t id = t.order.begin()->second;
      t.order.erase(t.order.begin());
      const auto found = t.alarms.find(id);
      due.push_back(std::move(found->second.fire));
      t.alarms.erase(found);
    }
    if (!due.empty()) t.armedFor = std::nan("");  // fired: arm again
    s.arm(t);
  });
  if (clockChanged)
    printDbg("Chron: the wall clock changed;", replanned, "first runs planned again");
  for (Fire& fire : due) fire();
  if (clockChanged) gClockChanges.fetch_add(1, std::memory_order_release);
}

}  // namespace mornik::detail
