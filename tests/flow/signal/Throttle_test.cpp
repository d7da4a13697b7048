#include "mornik/flow/signal/Throttle.hpp"

#include <chrono>
#include <cmath>
#include <optional>
#include <stdexcept>

#include <gtest/gtest.h>

#include "mornik/flow/signal/Signal.hpp"

#include "tests/support/ManualClock.hpp"
#include "tests/support/Recorder.hpp"

// A test clock drives the windows (1 s each): the tests move it and let
// every delivery be recorded before moving it again, so what a destination
// delivers, and when on that clock, is exact.

namespace mornik::Flow {
namespace {

using test::waitFor;

// What `destination` delivered, with when (seconds since `start` on the
// test clock when the recorder's queue took it).
template <class T>
test::Recorder<std::pair<T, double>> timed(Signal<T>& destination, std::int64_t start) {
  test::Recorder<std::pair<T, double>> recorder;
  destination.onUpdate(recorder.queue(), [block = recorder.block(), start](const T& value) {
    block({value, static_cast<double>(mornik::detail::monotonicNowNs() - start) / 1e9});
  });
  return recorder;
}

using Timed = std::vector<std::pair<std::string, double>>;

// Each source already holds "a" (its replay is the first arrival); b and c
// come in the first window, d in the second, nothing in the third, which
// closes, then e, f and g, and the sources go. Had a delivery at a window's
// end not opened a new window, d would pass at 1; had the empty window
// stayed open, e would wait. The last window ends one empty window later,
// and with it the operator.
TEST(Throttle, EachWindowKeepsWhatItsModeSaysAndAnEmptyWindowCloses) {
  test::ManualClock clock;
  const struct {
    const char* name;  // a throttle's mode, or debounce
    std::optional<AfterThrottling> after;
    Timed expected;
  } cases[] = {
      {"debounce", std::nullopt, {{"a", 0}, {"c", 1}, {"d", 2}, {"e", 3}, {"g", 4}}},
      {"sendLast", AfterThrottling::sendLast, {{"a", 0}, {"c", 1}, {"d", 2}, {"e", 3}, {"g", 4}}},
      {"sendFirst", AfterThrottling::sendFirst, {{"a", 0}, {"b", 1}, {"d", 2}, {"e", 3}, {"f", 4}}},
      {"none", AfterThrottling::none, {{"a", 0}, {"d", 1}, {"e", 3}}},
  };
  const DispatchQueue sourceQueue("test.throttle.source");
  std::vector<std::shared_ptr<Signal<std::string>>> sources;
  std::vector<test::Recorder<std::pair<std::string, double>>> recorders;
  std::vector<std::weak_ptr<Signal<std::string>>> destinations;  // the sources hold them
  for (const auto& c : cases) {
    sources.push_back(Signal<std::string>::make(sourceQueue, "a"));
    auto destination = c.after ? sources.back()->throttle(1.0, *c.after)
                               : sources.back()->debounce(std::chrono::seconds(1));
    EXPECT_EQ(destination->queue(), DispatchQueue::global(QoS::userInteractive));
    recorders.push_back(timed(*destination, clock.nowNs()));
    destinations.push_back(destination);
  }
  // Sends, lets every arrival and delivery be recorded, then moves the clock.
  auto step = [&](std::vector<const char*> values, double seconds) {
    for (const auto& source : sources) {
      for (const char* value : values) source->update(value);
    }
    test::drain(sourceQueue);
    for (const auto& recorder : recorders) (void)recorder.values();
    clock.advance(seconds);
  };
  step({"b", "c"}, 1.0);
  step({"d"}, 1.0);
  step({}, 1.0);
  step({"e", "f", "g"}, 0);
  sources.clear();  // an open window keeps what it holds, and its operator
  step({}, 1.0);
  EXPECT_FALSE(destinations[0].expired());  // the window g's delivery opened
  step({}, 3.0);                            // nothing more may come
  for (std::size_t i = 0; i < recorders.size(); ++i) {
    EXPECT_EQ(recorders[i].values(), cases[i].expected) << cases[i].name;
    EXPECT_TRUE(waitFor([&] { return destinations[i].expired(); })) << cases[i].name;
  }
}

// Arrivals on a concurrent queue overlap, and still the first passes and
// one more at the window's end, whenever the others arrive.
TEST(Throttle, OverlappingArrivalsPassOneValueAtOnceAndOnePerWindow) {
  test::ManualClock clock;
  auto source = Signal<int>::make(DispatchQueue::global());
  const auto recorder = timed(*source->debounce(1.0), clock.nowNs());
  for (int i = 1; i <= 200; ++i) source->update(i);
  ASSERT_TRUE(waitFor([&] { return recorder.seen() == 1; }));
  clock.advance(1.0);
  ASSERT_TRUE(waitFor([&] { return recorder.seen() == 2; }));
  const auto deliveries = recorder.values();
  EXPECT_TRUE(deliveries.size() == 2 && deliveries[0].second == 0 && deliveries[1].second == 1);
}

TEST(Throttle, RejectsIntervalsOutsideSigned64BitMicrosecondsAndEndsShortWindowsAtOnce) {
  auto source = Signal<int>::make(DispatchQueue("test.throttle.source"));
  for (const double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e13, -1e13}) {
    EXPECT_THROW((void)source->debounce(bad), std::invalid_argument) << bad;
    EXPECT_THROW((void)source->throttle(bad, AfterThrottling::none), std::invalid_argument) << bad;
  }
  EXPECT_THROW((void)source->throttle(std::chrono::hours::max(), AfterThrottling::none),
               std::invalid_argument);
  EXPECT_NO_THROW((void)source->debounce(9.2e12));  // about 2^63 microseconds
  test::Recorder<int> zero, negative;               // NOLINT(readability-isolate-declaration)
  zero.on(*source->debounce(0));
  negative.on(*source->throttle(-1, AfterThrottling::sendLast));
  for (int i = 1; i <= 1000; ++i) source->update(i);
  for (const auto* recorder : {&zero, &negative}) {
    ASSERT_TRUE(
        waitFor([&] { return !recorder->values().empty() && recorder->values().back() == 1000; }));
  }
}

}  // namespace
}  // namespace mornik::Flow
