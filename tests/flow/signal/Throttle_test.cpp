#include "mornik/flow/signal/Throttle.hpp"

#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/QoS.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/flow/signal/Signal.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

// These tests assert what a destination delivers and in which order. Time
// enters only through the windows: inputs are sent back to back (well within
// one window), the tests pump the main run loop while windows pass, and the
// spacing of deliveries is checked with half a window of tolerance for the
// latency of the recording queue.

namespace mornik::Flow {
namespace {

using Clock = std::chrono::steady_clock;
using test::waitFor;

const double kWindow = test::kUnderThreadSanitizer ? 0.4 : 0.2;

void pumpFor(double seconds) { RunLoop::main().runFor(seconds); }

// What a destination delivered, and when, recorded on a serial queue. The
// state outlives the test if an open window still holds the operator.
template <class T>
class Recorder {
 public:
  explicit Recorder(const std::shared_ptr<Signal<T>>& destination) {
    destination->onUpdate(state_->queue, [state = state_](const T& value) {
      const std::lock_guard<std::mutex> guard(state->mutex);
      state->values.push_back(value);
      state->times.push_back(Clock::now());
    });
  }
  std::vector<T> values() const {
    const std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->values;
  }
  bool waitForLast(const T& value) const {
    return waitFor([&] { return !values().empty() && values().back() == value; });
  }
  // Fails for two deliveries closer than half a window, or more deliveries
  // than the windows their span holds.
  void expectSpaced(double window, const std::string& name) const {
    const std::lock_guard<std::mutex> guard(state_->mutex);
    const auto& t = state_->times;
    for (std::size_t i = 1; i < t.size(); ++i) {
      EXPECT_GE(std::chrono::duration<double>(t[i] - t[i - 1]).count(), window / 2) << name;
    }
    if (t.size() < 2) return;
    const double span = std::chrono::duration<double>(t.back() - t.front()).count();
    EXPECT_LE(static_cast<double>(t.size()), span / window + 2) << name;
  }

 private:
  struct State {
    DispatchQueue queue{"test.throttle.recorder"};
    std::mutex mutex;
    std::vector<T> values;
    std::vector<Clock::time_point> times;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

using Apply = std::function<std::shared_ptr<Signal<std::string>>(Signal<std::string>&)>;

// Each source already holds "a" (the first arrival: the replay), then gets
// b and c back to back; after the windows closed, d, e and f. Four sources
// run side by side. Had a window stayed open, d would not pass at once.
TEST(Throttle, EachWindowKeepsWhatItsModeSaysAndAnEmptyWindowCloses) {
  const struct {
    const char* name;
    Apply apply;
    std::vector<std::string> expected;
  } cases[] = {
      {"debounce", [](auto& s) { return s.debounce(kWindow); }, {"a", "c", "d", "f"}},
      {"sendLast",
       [](auto& s) { return s.throttle(kWindow, AfterThrottling::sendLast); },
       {"a", "c", "d", "f"}},
      {"sendFirst",
       [](auto& s) { return s.throttle(kWindow, AfterThrottling::sendFirst); },
       {"a", "b", "d", "e"}},
      {"none", [](auto& s) { return s.throttle(kWindow, AfterThrottling::none); }, {"a", "d"}},
  };
  std::vector<std::shared_ptr<Signal<std::string>>> sources;
  std::vector<Recorder<std::string>> recorders;
  for (const auto& c : cases) {
    sources.push_back(Signal<std::string>::make(DispatchQueue("test.throttle.source"), "a"));
    auto destination = c.apply(*sources.back());
    EXPECT_EQ(destination->queue(), DispatchQueue::global(QoS::userInteractive));
    recorders.emplace_back(destination);
  }
  auto send = [&](std::initializer_list<const char*> values) {
    for (const auto& source : sources) {
      for (const char* value : values) source->update(value);
    }
  };
  send({"b", "c"});
  // The first window delivers what it held, the second ends empty and
  // closes; let both pass with room to spare.
  ASSERT_TRUE(recorders[0].waitForLast("c"));
  pumpFor(2.5 * kWindow);
  send({"d", "e", "f"});
  for (std::size_t i = 0; i < recorders.size(); ++i) {
    ASSERT_TRUE(recorders[i].waitForLast(cases[i].expected.back())) << cases[i].name;
  }
  pumpFor(kWindow / 2);  // nothing more may come
  for (std::size_t i = 0; i < recorders.size(); ++i) {
    EXPECT_EQ(recorders[i].values(), cases[i].expected) << cases[i].name;
    recorders[i].expectSpaced(kWindow, cases[i].name);
  }
}

// A steady stream over several windows: deliveries are values sent, in the
// order sent, at most one per window; debounce and sendLast end with the
// last value sent. Arrivals on a concurrent queue overlap, so there only the
// spacing holds.
TEST(Throttle, AStreamOverSeveralWindowsIsThinnedToOneValuePerWindow) {
  const double window = kWindow / 2;
  auto serial = Signal<int>::make(DispatchQueue("test.throttle.source"));
  auto concurrent = Signal<int>::make(DispatchQueue::global());
  const Recorder<int> debounced(serial->debounce(window));
  const Recorder<int> last(serial->throttle(window, AfterThrottling::sendLast));
  const Recorder<int> first(serial->throttle(window, AfterThrottling::sendFirst));
  const Recorder<int> none(serial->throttle(window, AfterThrottling::none));
  const Recorder<int> overlapping(concurrent->debounce(window));
  int sent = 0;
  for (const auto start = Clock::now(); Clock::now() - start < std::chrono::seconds(1);) {
    for (int i = 0; i < 20; ++i) {
      serial->update(++sent);
      concurrent->update(sent);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // paces the stream only
  }
  ASSERT_TRUE(debounced.waitForLast(sent));
  ASSERT_TRUE(last.waitForLast(sent));
  pumpFor(3 * window);  // every series has ended
  for (const auto& [name, recorder] :
       {std::pair{"debounce", &debounced}, std::pair{"sendLast", &last},
        std::pair{"sendFirst", &first}, std::pair{"none", &none}}) {
    const std::vector<int> values = recorder->values();
    ASSERT_GE(values.size(), 2U) << name;
    EXPECT_EQ(values.front(), 1) << name;
    for (std::size_t i = 1; i < values.size(); ++i) EXPECT_LT(values[i - 1], values[i]) << name;
    EXPECT_LE(values.back(), sent) << name;
    recorder->expectSpaced(window, name);
  }
  EXPECT_LT(debounced.values().size(), static_cast<std::size_t>(sent) / 10);
  overlapping.expectSpaced(window, "concurrent source");
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
  ASSERT_TRUE(zero.waitForLast(1000));
  ASSERT_TRUE(negative.waitForLast(1000));
  ASSERT_TRUE(waitFor([&] { return !longest.values().empty(); }));
  EXPECT_EQ(longest.values(), std::vector<int>{1});
}

TEST(Throttle, AHeldValueOutlivesTheSourceAndEverythingGoesOneEmptyWindowLater) {
  DispatchQueue queue("test.throttle.source");
  auto source = Signal<int>::make(queue);
  auto destination = source->throttle(kWindow, AfterThrottling::sendLast);
  const std::weak_ptr<Signal<int>> weak = destination;
  const Recorder<int> recorder(destination);
  destination.reset();  // the source holds it
  source->update(1);
  source->update(2);
  test::drain(queue);  // 2 is held by the open window
  source.reset();
  ASSERT_TRUE(recorder.waitForLast(2));
  EXPECT_EQ(recorder.values(), (std::vector<int>{1, 2}));
  EXPECT_TRUE(waitFor([&] { return weak.expired(); }));
}

}  // namespace
}  // namespace mornik::Flow
