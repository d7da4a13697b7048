#include "mornik/time/Stopwatch.hpp"

#include <cmath>

#include "mornik/base/Describe.hpp"
#include "mornik/log/Debug.hpp"
#include "mornik/text/Date.hpp"

namespace mornik {

namespace {

double wallNow() { return Date::now().timeIntervalSinceReferenceDate(); }

void printElapsed(const std::optional<std::string>& name, double value, const char* unit) {
  std::string text = name ? *name + ": " : std::string();
  text += describeDouble(value);
  text += unit;
  printDbg(text);
}

}  // namespace

Stopwatch& Stopwatch::start(const std::optional<std::string>& name) {
  if (name) printDbg(*name);
  if (!startTime_) startTime_ = wallNow();
  isGoing_ = true;
  return *this;
}

Stopwatch& Stopwatch::restart(const std::optional<std::string>& name) {
  if (name) printDbg(*name);
  startTime_ = wallNow();
  isGoing_ = true;
  return *this;
}

void Stopwatch::stop() {
  endTime_ = wallNow();
  isGoing_ = false;
}

void Stopwatch::reset() {
  startTime_.reset();
  endTime_.reset();
  isGoing_ = false;
}

double Stopwatch::elapsedS() const {
  if (!startTime_) return 0;
  if (isGoing_) return wallNow() - *startTime_;
  return endTime_ ? *endTime_ - *startTime_ : 0;
}

void Stopwatch::printS(const std::optional<std::string>& name) const {
  printElapsed(name, elapsedS(), " sec");
}

void Stopwatch::printMs(const std::optional<std::string>& name) const {
  printElapsed(name, elapsedMs(), " ms");
}

double rounded(double value, int toPlaces) {
  const double scale = std::pow(10.0, toPlaces);
  return std::round(value * scale) / scale;
}

}  // namespace mornik
