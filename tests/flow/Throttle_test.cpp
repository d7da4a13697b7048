#include "mornik/flow/Throttle.hpp"

#include <chrono>
#include <cmath>
#include <limits>
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
#include "mornik/flow/Signal.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

// These tests assert what a destination delivers and in which order. Time
// enters only through the windows: inputs are sent back to back (well within
// one window), the tests pump the main run loop while windows pass, and the
// spacing between deliveries is checked with half a window of tolerance for
// the latency of the recording queue.

namespace mornik::Flow {
namespace {

using Clock = std::chrono::steady_clock;
using test::drain;
using test::waitFor;

// Long enough that sending a few values back to back, and the start of a
// delivery, always fit well within one window, also on a loaded machine.
const double kWindow = test::kUnderThreadSanitizer ? 0.4 : 0.2;

// Pumps the main run loop for `seconds` (lets windows pass).
void pumpFor(double seconds) { RunLoop::main().runFor(seconds); }

// What a destination delivered, with the time each delivery ran, recorded on
// a serial queue of its own. The state outlives the test if a window still
// holds the operator.
template <class T>
class Recorder {
 public:
  void attach(const std::shared_ptr<Signal<T>>& signal) {
    signal->onUpdate(state_->queue, [state = state_](const T& value) {
      const std::lock_guard<std::mutex> guard(state->mutex);
      state->values.push_back(value);
      state->times.push_back(Clock::now());
    });
  }
  std::vector<T> values() const {
    const std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->values;
  }
  std::size_t size() const { return values().size(); }
  bool waitForSize(std::size_t n, double timeout = test::kEventTimeout) const {
    return waitFor([&] { return size() >= n; }, timeout);
  }
  // Seconds between consecutive deliveries.
  std::vector<double> gaps() const {
    const std::lock_guard<std::mutex> guard(state_->mutex);
    std::vector<double> result;
    for (std::size_t i = 1; i < state_->times.size(); ++i) {
      result.push_back(
          std::chrono::duration<double>(state_->times[i] - state_->times[i - 1]).count());
    }
    return result;
  }
  // Seconds from the first delivery to the last.
  double span() const {
    const std::lock_guard<std::mutex> guard(state_->mutex);
    if (state_->times.size() < 2) return 0;
    return std::chrono::duration<double>(state_->times.back() - state_->times.front()).count();
  }

 private:
  struct State {
    DispatchQueue queue{"test.throttle.recorder"};
    mutable std::mutex mutex;
    std::vector<T> values;
    std::vector<Clock::time_point> times;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

void expectSpacedByAWindow(const std::vector<double>& gaps, const std::string& name) {
  for (const double gap : gaps) EXPECT_GE(gap, kWindow / 2) << name;
}

struct Case {
  std::string name;
  std::function<std::shared_ptr<Signal<std::string>>(Signal<std::string>&)> apply;
  std::vector<std::string> firstSeries;   // for a, b, c sent back to back
  std::vector<std::string> secondSeries;  // for d, e, f after the window closed
};

TEST(Throttle, EachWindowKeepsWhatItsModeSaysAndAnEmptyWindowCloses) {
  const std::vector<Case> cases = {
      {"debounce", [](auto& s) { return s.debounce(kWindow); }, {"a", "c"}, {"d", "f"}},
      {"sendLast",
       [](auto& s) { return s.throttle(kWindow, AfterThrottling::sendLast); },
       {"a", "c"},
       {"d", "f"}},
      {"sendFirst",
       [](auto& s) { return s.throttle(kWindow, AfterThrottling::sendFirst); },
       {"a", "b"},
       {"d", "e"}},
      {"none", [](auto& s) { return s.throttle(kWindow, AfterThrottling::none); }, {"a"}, {"d"}},
  };
  // All four run side by side, each on a source of its own.
  std::vector<std::shared_ptr<Signal<std::string>>> sources;
  std::vector<Recorder<std::string>> recorders(cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    sources.push_back(Signal<std::string>::make(DispatchQueue("test.throttle.source")));
    auto destination = cases[i].apply(*sources[i]);
    EXPECT_EQ(destination->queue(), DispatchQueue::global(QoS::userInteractive));
    recorders[i].attach(destination);
  }
  auto send = [&](std::initializer_list<const char*> values) {
    for (const auto& source : sources) {
      for (const char* value : values) source->update(value);
    }
  };

  // a passes at once; b and c arrive while its window is open.
  send({"a", "b", "c"});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    ASSERT_TRUE(recorders[i].waitForSize(cases[i].firstSeries.size())) << cases[i].name;
  }
  // The held value (if any) came with the end of the first window; the
  // second window ends empty and closes. Let it pass with room to spare.
  pumpFor(2.5 * kWindow);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(recorders[i].values(), cases[i].firstSeries) << cases[i].name;
  }

  // After a quiet period d passes at once again (had a window still been
  // open, debounce would have replaced it with f).
  send({"d", "e", "f"});
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::vector<std::string> expected = cases[i].firstSeries;
    expected.insert(expected.end(), cases[i].secondSeries.begin(), cases[i].secondSeries.end());
    ASSERT_TRUE(recorders[i].waitForSize(expected.size())) << cases[i].name;
    pumpFor(kWindow / 2);  // nothing more may come
    EXPECT_EQ(recorders[i].values(), expected) << cases[i].name;
    expectSpacedByAWindow(recorders[i].gaps(), cases[i].name);
  }
}

TEST(Throttle, AValueTheSourceAlreadyHoldsIsTheFirstArrival) {
  auto source = Signal<int>::make(DispatchQueue("test.throttle.source"), 1);
  Recorder<int> recorder;
  recorder.attach(source->debounce(kWindow));
  source->update(2);
  source->update(3);
  ASSERT_TRUE(recorder.waitForSize(2));
  EXPECT_EQ(recorder.values(), (std::vector<int>{1, 3}));
}

// A steady stream over several windows, into each operator: deliveries are
// values that were sent, in the order sent, at most one per window, and with
// debounce (and sendLast) the stream's last value comes last. A second
// source runs its arrivals on a concurrent queue, where they overlap.
TEST(Throttle, AStreamOverSeveralWindowsIsThinnedToOneValuePerWindow) {
  const double window = kWindow / 2;
  auto serialSource = Signal<int>::make(DispatchQueue("test.throttle.source"));
  auto concurrentSource = Signal<int>::make(DispatchQueue::global());
  Recorder<int> debounced;
  Recorder<int> last;
  Recorder<int> first;
  Recorder<int> none;
  Recorder<int> concurrent;
  debounced.attach(serialSource->debounce(window));
  last.attach(serialSource->throttle(window, AfterThrottling::sendLast));
  first.attach(serialSource->throttle(window, AfterThrottling::sendFirst));
  none.attach(serialSource->throttle(window, AfterThrottling::none));
  concurrent.attach(concurrentSource->debounce(window));

  int sent = 0;
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(1)) {
    for (int i = 0; i < 20; ++i) {
      ++sent;
      serialSource->update(sent);
      concurrentSource->update(sent);
    }
    // Paces the stream (about 20 values per millisecond); nothing is
    // ordered by this pause.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(waitFor([&] {
    const auto d = debounced.values();
    const auto l = last.values();
    return !d.empty() && d.back() == sent && !l.empty() && l.back() == sent;
  }));
  pumpFor(3 * window);  // every series has ended

  // Arrivals from the concurrent queue overlap, so their order (and which
  // one comes first) is not the order sent; only the spacing holds there.
  const struct {
    const char* name;
    const Recorder<int>& recorder;
    bool inOrder;
    bool endsWithLast;
  } checks[] = {{"debounce", debounced, true, true},
                {"sendLast", last, true, true},
                {"sendFirst", first, true, false},
                {"none", none, true, false},
                {"concurrent source", concurrent, false, false}};
  for (const auto& check : checks) {
    const std::vector<int> values = check.recorder.values();
    ASSERT_GE(values.size(), 2U) << check.name;
    if (check.inOrder) {
      EXPECT_EQ(values.front(), 1) << check.name;
      for (std::size_t i = 1; i < values.size(); ++i) {
        EXPECT_LT(values[i - 1], values[i]) << check.name;
      }
    }
    for (const int value : values) {
      EXPECT_GE(value, 1) << check.name;
      EXPECT_LE(value, sent) << check.name;
    }
    if (check.endsWithLast) {
      EXPECT_EQ(values.back(), sent) << check.name;
    }
    for (const double gap : check.recorder.gaps()) EXPECT_GE(gap, window / 2) << check.name;
    EXPECT_LE(static_cast<double>(values.size()), check.recorder.span() / window + 2) << check.name;
  }
  // The stream was far denser than the windows.
  EXPECT_LT(debounced.size(), static_cast<std::size_t>(sent) / 10);
}

TEST(Throttle, IntervalsThatAreNotFiniteOrTooLongAreRejectedAndShortOnesEndAtOnce) {
  auto source = Signal<int>::make(DispatchQueue("test.throttle.source"));
  for (const double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e13, -1e13}) {
    EXPECT_THROW((void)source->debounce(bad), std::invalid_argument) << bad;
    EXPECT_THROW((void)source->throttle(bad, AfterThrottling::sendFirst), std::invalid_argument)
        << bad;
  }
  // The longest window: 2^63 - 1 microseconds are about 9.22e12 s.
  Recorder<int> longest;
  longest.attach(source->throttle(9.2e12, AfterThrottling::sendLast));
  // Windows of zero or less (and under a microsecond) end as soon as
  // possible: a burst still ends with its last value.
  Recorder<int> zero;
  Recorder<int> negative;
  Recorder<int> tiny;
  zero.attach(source->debounce(0));
  negative.attach(source->debounce(-1));
  tiny.attach(source->throttle(1e-7, AfterThrottling::sendLast));
  for (int i = 1; i <= 1000; ++i) source->update(i);
  for (const Recorder<int>* recorder : {&zero, &negative, &tiny}) {
    ASSERT_TRUE(waitFor([&] {
      const auto values = recorder->values();
      return !values.empty() && values.back() == 1000;
    }));
  }
  ASSERT_TRUE(longest.waitForSize(1));
  pumpFor(kWindow / 2);
  EXPECT_EQ(longest.values(), std::vector<int>{1});
}

TEST(Throttle, AHeldValueOutlivesTheSourceAndEverythingGoesOneEmptyWindowLater) {
  DispatchQueue queue("test.throttle.source");
  auto source = Signal<int>::make(queue);
  Recorder<int> recorder;
  std::weak_ptr<Signal<int>> weakDestination;
  {
    auto destination = source->throttle(kWindow, AfterThrottling::sendLast);
    weakDestination = destination;
    recorder.attach(destination);
  }
  source->update(1);
  source->update(2);
  drain(queue);  // 2 is held by the open window
  ASSERT_TRUE(recorder.waitForSize(1));
  ASSERT_EQ(recorder.values(), std::vector<int>{1});
  EXPECT_FALSE(weakDestination.expired());  // the source holds it
  source.reset();
  ASSERT_TRUE(recorder.waitForSize(2));
  EXPECT_EQ(recorder.values(), (std::vector<int>{1, 2}));
  // The window that delivered 2 ends empty and releases the operator.
  EXPECT_TRUE(waitFor([&] { return weakDestination.expired(); }));
}

}  // namespace
}  // namespace mornik::Flow
