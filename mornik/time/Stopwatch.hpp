#pragma once

#include <memory>
#include <optional>
#include <string>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Measures elapsed wall-clock time in seconds (the wall clock, not a
// monotonic one: a clock change during a measurement shows in it).
//
//   auto watch = mornik::Stopwatch::make();
//   watch->start("load");
//   load();
//   watch->stop();
//   watch->printMs("load");   // "load: 12.5 ms" through printDbg
//
// States: idle (never started, or reset) -> going (start / restart) ->
// stopped (stop: elapsed frozen) -> going again: restart takes a fresh
// start; start keeps the old one, so the stopped stretch counts.
//
// Thread safety: none; one watch belongs to one thread at a time.
class Stopwatch : public std::enable_shared_from_this<Stopwatch> {
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  static std::shared_ptr<Stopwatch> make() { return std::make_shared<Stopwatch>(Passkey()); }
  explicit Stopwatch(Passkey /*unused*/) {}

  // Prints `name` when given; takes the start time only when there is none;
  // returns this watch.
  Stopwatch& start(const std::optional<std::string>& name = std::nullopt);
  // Prints `name` when given; takes a fresh start time (the end time stays).
  Stopwatch& restart(const std::optional<std::string>& name = std::nullopt);
  void stop();
  void reset();

  // 0 without a start; now - start while going; end - start when stopped
  // (0 without an end).
  double elapsedS() const;
  double elapsedMs() const { return elapsedS() * 1000; }

  // "<name>: <elapsedS> sec" (or without "<name>: "), the number as the
  // shortest text that reads back as the same double ("1.5", "0.0"),
  // through printDbg.
  void printS(const std::optional<std::string>& name = std::nullopt) const;
  // The same with elapsedMs and " ms".
  void printMs(const std::optional<std::string>& name = std::nullopt) const;

  std::optional<double> startTime() const noexcept { return startTime_; }
  std::optional<double> endTime() const noexcept { return endTime_; }
  bool isGoing() const noexcept { return isGoing_; }

 private:
  std::optional<double> startTime_;
  std::optional<double> endTime_;
  bool isGoing_ = false;
};

// `value` rounded to `places` decimal places: times 10^places, rounded half
// away from zero, divided back (so 1.005 to 2 places is 1.0: 100.49999...).
double rounded(double value, int toPlaces);

}  // namespace mornik

MORNIK_EXPORTS_END
