#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <variant>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/concurrency/Task.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// What a Chron schedule does; counts are signed 64-bit.
//
//   every(hrs, mins, sec, skipFirst)  every hrs*3600 + mins*60 + sec seconds;
//                                     unless skipFirst, also once inside schedule()
//   everyDay(hrs, mins, sec)          at the next occurrence of that local time of
//                                     day, then every 86400 seconds
//   singleTimeAt(hrs, mins, sec)      once, at the next occurrence of that time
//   everyDayBeginning()               at the start of tomorrow, then every 86400 s
class ScheduleType {
 public:
  struct Every {
    std::int64_t hrs = 0;
    std::int64_t mins = 0;
    std::int64_t sec = 0;
    bool skipFirst = false;
  };
  struct EveryDay {
    std::int64_t hrs = 0;
    std::int64_t mins = 0;
    std::int64_t sec = 0;
  };
  struct SingleTimeAt {
    std::int64_t hrs = 0;
    std::int64_t mins = 0;
    std::int64_t sec = 0;
  };
  struct EveryDayBeginning {};
  using Case = std::variant<Every, EveryDay, SingleTimeAt, EveryDayBeginning>;

  static ScheduleType every(std::int64_t hrs, std::int64_t mins, std::int64_t sec, bool skipFirst) {
    return ScheduleType(Every{hrs, mins, sec, skipFirst});
  }
  static ScheduleType everyDay(std::int64_t hrs, std::int64_t mins, std::int64_t sec) {
    return ScheduleType(EveryDay{hrs, mins, sec});
  }
  static ScheduleType singleTimeAt(std::int64_t hrs, std::int64_t mins, std::int64_t sec) {
    return ScheduleType(SingleTimeAt{hrs, mins, sec});
  }
  static ScheduleType everyDayBeginning() { return ScheduleType(EveryDayBeginning{}); }

  const Case& value() const noexcept { return value_; }
  template <class C>
  const C* getIf() const noexcept {
    return std::get_if<C>(&value_);
  }

  // The period of `every` in seconds, as the timer takes it: at least one
  // second (a period of zero or less is one second, never a busy timer); a
  // period whose seconds do not fit in 64 bits is the longest a run loop
  // waits (a century), so it never comes in practice.
  static double everyPeriod(const Every& every) noexcept;

 private:
  explicit ScheduleType(Case value) : value_(value) {}
  Case value_;
};

namespace detail {
class TimerPair;
}  // namespace detail

// Runs actions on a schedule and cancels them by token.
//
//   auto chron = mornik::Chron::shared();
//   std::string tick = chron->schedule(mornik::ScheduleType::every(0, 1, 30, true),
//                                      [] { refresh(); });        // every 90 s
//   chron->schedule(mornik::ScheduleType::everyDay(7, 0, 0), [] { morningReport(); });
//   ...
//   chron->cancel(tick);
//
// Tokens are random UUIDs in upper-case canonical text; every schedule gets
// a new one.
//
// every: the action runs once inside schedule() unless skipFirst, then on a
// repeating run-loop timer of the calling thread (whole seconds, at least
// one). A thread that never runs its run loop never sees it fire.
//
// everyDay, singleTimeAt, everyDayBeginning: the first run is at the next
// occurrence of the local time of day plus 0.1 s (everyDayBeginning: at the
// start of tomorrow), on the main thread; the daily kinds then repeat every
// 86400 seconds on a timer of the main run loop, so they keep their distance
// from the first run whatever the clock's offset does later. The first run
// waits on the wall clock (detail/WallAlarms.hpp): a suspend does not delay
// it; when the clock is set while it is pending, it is planned again from the
// new time (the clock set back before the time of day waits for it again,
// set forward past it runs it at once, exactly once). Times of day that do
// not exist or exist twice: see detail::todayAt (Occurrence.hpp) — a skipped
// time runs as far after the jump as it lay after its start, a repeated one
// at its first pass. A time of day that cannot be placed (its seconds do not
// fit 64 bits, or it lies beyond a hundred thousand days) never runs; its
// token is valid until cancelled.
//
// Every kind has its token in the table from schedule() on, so cancel()
// before a first run prevents it. singleTimeAt leaves the table after its
// run.
//
// Thread safety: every member may be called from any thread, actions
// included (an action may cancel its own or any schedule). After cancel()
// returns, no run of that schedule starts; a run that started on another
// thread before finishes.
// Ownership: the Chron owns its schedules and their actions; releasing the
// last reference cancels them all. Actions are released on cancel().
class Chron : public std::enable_shared_from_this<Chron> {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Action = std::function<void()>;

  static std::shared_ptr<Chron> make();
  // The process-wide instance, created on first use.
  static std::shared_ptr<Chron> shared();
  // Replaces it (null: a new one is made on next use).
  static void setShared(std::shared_ptr<Chron> chron);

  explicit Chron(Passkey /*unused*/) {}
  Chron(const Chron&) = delete;
  Chron& operator=(const Chron&) = delete;
  ~Chron();

  // Registers the schedule and returns its token.
  std::string schedule(const ScheduleType& type, Action action);
  // The same; each run starts a detached Task on the default global queue
  // that awaits a fresh `action()`, and nobody waits for it or sees its end.
  std::string scheduleAsyncFake(const ScheduleType& type, std::function<Task<void>()> action);
  // Cancels one schedule; unknown or cancelled tokens are ignored.
  void cancel(const std::string& token);
  // Cancels every schedule in the table as it stands when the call starts.
  void cancelAll();

  bool contains(const std::string& token) const;
  std::size_t count() const;

 private:
  void firstRun(const std::string& token, const std::shared_ptr<detail::TimerPair>& pair,
                bool daily);

  LockedVar<std::unordered_map<std::string, std::shared_ptr<detail::TimerPair>>> timers_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
