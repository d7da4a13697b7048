#include "mornik/flow/signal/Throttle.hpp"

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/QoS.hpp"
#include "mornik/flow/signal/Signal.hpp"

#include "tests/support/ManualClock.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"

// A test clock drives the windows: the tests move it a window at a time and
// settle every queue in between, so what a destination delivers, and at
// which moment of that clock, is exact.

namespace mornik::Flow {
namespace {

using test::waitFor;

constexpr std::int64_t kWindowNs = 1'000'000'000;

// What a destination delivered, and when on the test clock (in windows since
// the recorder was made), recorded on a serial queue. The state outlives the
// test if an open window still holds the operator.
template <class T>
class Recorder {
 public:
  explicit Recorder(const std::shared_ptr<Signal<T>>& destination) {
    destination->onUpdate(state_->queue, [state = state_](const T& value) {
      const std::lock_guard<std::mutex> guard(state->mutex);
      state->deliveries.emplace_back(value, mornik::detail::monotonicNowNs() - state->start);
    });
  }
  // Everything delivered so far, once what is on its way arrived.
  std::vector<std::pair<T, double>> deliveries() const {
    test::drain(state_->queue);
    const std::lock_guard<std::mutex> guard(state_->mutex);
    std::vector<std::pair<T, double>> inWindows;
    for (const auto& [value, ns] : state_->deliveries) {
      inWindows.emplace_back(value, static_cast<double>(ns) / kWindowNs);
    }
    return inWindows;
  }

 private:
  struct State {
    DispatchQueue queue{"test.throttle.recorder"};
    std::mutex mutex;
    std::int64_t start = mornik::detail::monotonicNowNs();
    std::vector<std::pair<T, std::int64_t>> deliveries;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

using Apply = std::function<std::shared_ptr<Signal<std::string>>(Signal<std::string>&)>;
using Deliveries = std::vector<std::pair<std::string, double>>;

// Each source already holds "a" (the first arrival: the replay), gets b and
// c in the first window, then d, e and f once two windows passed; four
// sources run side by side. Had a window stayed open, d would not pass at
// once.
TEST(Throttle, EachWindowKeepsWhatItsModeSaysAndAnEmptyWindowCloses) {
  test::ManualClock clock;
  const double window = static_cast<double>(kWindowNs) / 1e9;
  const struct {
    const char* name;
    Apply apply;
    Deliveries expected;
  } cases[] = {
      {"debounce",
       [&](auto& s) { return s.debounce(window); },
       {{"a", 0}, {"c", 1}, {"d", 2}, {"f", 3}}},
      {"sendLast",
       [&](auto& s) { return s.throttle(window, AfterThrottling::sendLast); },
       {{"a", 0}, {"c", 1}, {"d", 2}, {"f", 3}}},
      {"sendFirst",
       [&](auto& s) { return s.throttle(window, AfterThrottling::sendFirst); },
       {{"a", 0}, {"b", 1}, {"d", 2}, {"e", 3}}},
      {"none",
       [&](auto& s) { return s.throttle(window, AfterThrottling::none); },
       {{"a", 0}, {"d", 2}}},
  };
  const DispatchQueue sourceQueue("test.throttle.source");
  std::vector<std::shared_ptr<Signal<std::string>>> sources;
  std::vector<Recorder<std::string>> recorders;
  for (const auto& c : cases) {
    sources.push_back(Signal<std::string>::make(sourceQueue, "a"));
    auto destination = c.apply(*sources.back());
    EXPECT_EQ(destination->queue(), DispatchQueue::global(QoS::userInteractive));
    recorders.emplace_back(destination);
  }
  auto send = [&](std::initializer_list<const char*> values) {
    for (const auto& source : sources) {
      for (const char* value : values) source->update(value);
    }
    test::drain(sourceQueue);  // every arrival handled
  };
  // Deliveries are recorded before the clock moves on.
  auto advance = [&](double seconds) {
    clock.advance(seconds);
    for (const auto& recorder : recorders) (void)recorder.deliveries();
  };
  send({"b", "c"});
  advance(window);  // the first window delivers what it held
  advance(window);  // the second ends empty and closes
  send({"d", "e", "f"});
  advance(window);
  advance(window * 3);  // nothing more may come
  for (std::size_t i = 0; i < recorders.size(); ++i) {
    EXPECT_EQ(recorders[i].deliveries(), cases[i].expected) << cases[i].name;
  }
}

// A steady stream of 20 values per quarter window over several windows:
// deliveries are values sent, in the order sent, one per window, each at the
// end of a window. Arrivals on a concurrent queue overlap, and still no more
// than one value passes per window.
TEST(Throttle, AStreamOverSeveralWindowsIsThinnedToOneValuePerWindow) {
  test::ManualClock clock;
  const double window = static_cast<double>(kWindowNs) / 1e9;
  const DispatchQueue sourceQueue("test.throttle.source");
  auto serial = Signal<int>::make(sourceQueue);
  auto concurrent = Signal<int>::make(DispatchQueue::global());
  const Recorder<int> debounced(serial->debounce(window));
  const Recorder<int> first(serial->throttle(window, AfterThrottling::sendFirst));
  const Recorder<int> none(serial->throttle(window, AfterThrottling::none));
  const Recorder<int> overlapping(concurrent->debounce(window));
  int sent = 0;
  for (int quarter = 0; quarter < 16; ++quarter) {
    for (int i = 0; i < 20; ++i) {
      serial->update(++sent);
      concurrent->update(sent);
    }
    test::drain(sourceQueue);
    clock.advance(window / 4);
    for (const auto* recorder : {&debounced, &first, &none, &overlapping}) {
      (void)recorder->deliveries();  // recorded before the clock moves on
    }
  }
  clock.advance(window * 3);
  for (const auto& [name, recorder] : {std::pair{"debounce", &debounced},
                                       std::pair{"sendFirst", &first}, std::pair{"none", &none}}) {
    const auto deliveries = recorder->deliveries();
    ASSERT_GE(deliveries.size(), 2U) << name;
    EXPECT_EQ(deliveries.front().first, 1) << name;
    for (std::size_t i = 1; i < deliveries.size(); ++i) {
      EXPECT_LT(deliveries[i - 1].first, deliveries[i].first) << name;
      EXPECT_GE(deliveries[i].second - deliveries[i - 1].second, 1.0) << name;
    }
  }
  // Concurrent arrivals may be handled after the clock moved on, so only
  // the count is exact: one delivery per window of the 7 at most, plus the
  // first.
  EXPECT_LE(overlapping.deliveries().size(), 8U);
  EXPECT_EQ(debounced.deliveries().back().first, sent);
}

TEST(Throttle, RejectsIntervalsOutsideSigned64BitMicrosecondsAndEndsShortWindowsAtOnce) {
  auto source = Signal<int>::make(DispatchQueue("test.throttle.source"));
  for (const double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e13, -1e13}) {
    EXPECT_THROW((void)source->debounce(bad), std::invalid_argument) << bad;
    EXPECT_THROW((void)source->throttle(bad, AfterThrottling::none), std::invalid_argument) << bad;
  }
  const Recorder<int> longest(source->debounce(9.2e12));  // about 2^63 microseconds
  const Recorder<int> zero(source->debounce(0));
  const Recorder<int> negative(source->throttle(-1, AfterThrottling::sendLast));
  for (int i = 1; i <= 1000; ++i) source->update(i);
  ASSERT_TRUE(waitFor(
      [&] { return !zero.deliveries().empty() && zero.deliveries().back().first == 1000; }));
  ASSERT_TRUE(waitFor([&] {
    return !negative.deliveries().empty() && negative.deliveries().back().first == 1000;
  }));
  EXPECT_EQ(longest.deliveries().size(), 1U);
}

TEST(Throttle, AHeldValueOutlivesTheSourceAndEverythingGoesOneEmptyWindowLater) {
  test::ManualClock clock;
  DispatchQueue queue("test.throttle.source");
  auto source = Signal<int>::make(queue);
  auto destination = source->throttle(1.0, AfterThrottling::sendLast);
  const std::weak_ptr<Signal<int>> weak = destination;
  const Recorder<int> recorder(destination);
  destination.reset();  // the source holds it
  source->update(1);
  source->update(2);
  test::drain(queue);  // 2 is held by the open window
  source.reset();
  EXPECT_FALSE(weak.expired());
  clock.advance(1.0);
  EXPECT_EQ(recorder.deliveries(), (std::vector<std::pair<int, double>>{{1, 0}, {2, 1}}));
  EXPECT_FALSE(weak.expired());  // the second window is open
  clock.advance(1.0);
  EXPECT_TRUE(waitFor([&] { return weak.expired(); }));
}

}  // namespace
}  // namespace mornik::Flow
