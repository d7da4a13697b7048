#include <string>

#include "mornik/base/Describe.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/log/Debug.hpp"
#include "mornik/text/Date.hpp"
#include "mornik/time/Chron.hpp"
#include "mornik/time/Stopwatch.hpp"
#include "mornik/time/TimerCall.hpp"

#include "tour/Tour.hpp"

namespace tour {

void timing() {
  heading("Scheduler, timers and a stopwatch");
  // The stopwatch prints through the debug printer: show its lines here.
  mornik::setDebugSink(
      [](std::string_view text) { say("debug: " + std::string(text.substr(0, text.size() - 1))); });

  // A one-off run at a time of day two seconds from now (whole seconds, plus
  // 0.1 s), timed by a stopwatch; a TimerCall ticks meanwhile.
  auto watch = mornik::Stopwatch::make();
  watch->start("waiting for the scheduled run");
  const mornik::Date at = mornik::Date::now() + 2.0;
  bool ran = false;
  auto chron = mornik::Chron::shared();
  const std::string token = chron->schedule(
      mornik::ScheduleType::singleTimeAt(mornik::hour(at), mornik::minute(at), mornik::second(at)),
      [&] {
        watch->stop();
        ran = true;
      });
  say("scheduled, token " + token);
  int ticks = 0;
  auto ticker = mornik::TimerCall::make(mornik::TimerCallType::continious(0.25), [&] { ++ticks; });
  mornik::RunLoop::main().runUntil([&] { return ran; }, 5.0);
  ticker->invalidate();
  say(std::string(ran ? "it ran" : "it did not run") + " after " +
      mornik::describeDouble(mornik::rounded(watch->elapsedS(), 1)) + " s; " +
      std::to_string(ticks) + " ticks of a 0.25 s timer meanwhile");
  watch->printMs("measured");
  say(std::string("token still scheduled: ") + (chron->contains(token) ? "yes" : "no"));
  mornik::setDebugSink(nullptr);
}

}  // namespace tour
