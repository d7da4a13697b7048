#pragma once

// Alarms on the wall clock for the scheduler's first runs. Internal to time/.
//
// One CLOCK_REALTIME timerfd for the process, armed with an absolute time
// and TFD_TIMER_CANCEL_ON_SET for the earliest alarm, watched by the
// descriptor watcher on the serial queue "mornik.chron". An absolute wall
// time is not delayed by a suspend (the expiry is seen at resume), and when
// the clock is set (by hand, by NTP stepping it, or at resume) the kernel
// cancels the timer and every alarm that has not come is planned again from
// the new time (Plan). An alarm the change carried the clock past fires at
// once: a change never drops a pending alarm, and an alarm is removed when it
// fires, so none fires twice.
//
// The clock seam: tests move the wall clock this service reads by an offset
// (setTestOffset), which is handled exactly like a real clock change. Time
// namespaces cannot do it: they offset the monotonic and boot clocks only.
//
// Thread safety: every member may be called from any thread.

#include <cstdint>
#include <functional>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

class WallAlarms {
 public:
  // When the alarm is due, in Unix seconds of the wall clock, planned from
  // the wall clock's `now`; +infinity (or NaN): never. Called when the alarm
  // is added and after every clock change that finds it still to come, on
  // the alarms' queue and under their lock (it must not call back).
  using Plan = std::function<double(double now)>;
  // Runs once, on the alarms' queue, when the alarm is due; it hands over
  // (constant work) and must not call back into WallAlarms under a lock.
  using Fire = std::function<void()>;

  static WallAlarms& shared();

  // Adds an alarm and returns its id (never 0).
  std::uint64_t add(Plan plan, Fire fire);
  // Removes an alarm that has not fired (0 and unknown ids are ignored).
  void remove(std::uint64_t id);
  // Alarms not yet fired (a snapshot).
  std::size_t count() const;

  // The wall clock this service reads: CLOCK_REALTIME plus the test offset.
  static double now() noexcept;
  // Moves the clock seen by now() to the real time plus `seconds` and
  // handles it as a clock change. Tests only.
  static void setTestOffset(double seconds);
  // How many clock changes have been handled (re-planned) so far.
  static std::uint64_t clockChangesHandled() noexcept;

  WallAlarms(const WallAlarms&) = delete;
  WallAlarms& operator=(const WallAlarms&) = delete;

 private:
  WallAlarms();
  struct State;
  // Fires what is due, after re-planning everything when the clock changed,
  // and arms for the next alarm.
  void process(bool clockChanged);
  State* state_;
};

}  // namespace mornik::detail

MORNIK_EXPORTS_END
