#include "mornik/flow/signal/Signal.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/Recorder.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::Recorder;
using test::waitFor;

TEST(Signal, EachNewSubscriberGetsTheBufferOnceLaterAndThenEveryUpdate) {
  DispatchQueue queue("test.signal");
  auto signal = Signal<int>::make(queue, 5);
  EXPECT_EQ(signal->currentValue(), 5);
  Recorder<int> early(DispatchQueue::main());  // runs only while this thread drains it
  early.on(*signal);
  EXPECT_EQ(early.seen(), 0U);  // never inside the registering call
  EXPECT_EQ(early.values(), std::vector<int>{5});
  signal->clearBuffer();
  EXPECT_EQ(signal->currentValue(), std::nullopt);
  Recorder<int> late;
  late.on(*signal);
  EXPECT_EQ(late.values(), std::vector<int>{});  // an empty buffer replays nothing
  EXPECT_EQ(signal->startWith(8), signal);
  EXPECT_EQ(early.values(), (std::vector<int>{5, 8}));  // clearing told nobody
  EXPECT_EQ(late.values(), std::vector<int>{8});
}

TEST(Signal, HandlersSharingASerialQueueSeeEachValueInRegistrationAndUpdateOrder) {
  DispatchQueue queue("test.order");
  auto signal = Signal<int>::make(queue);
  std::vector<std::string> log;  // queue only
  auto record = [&log](const char* name) {
    return [&log, name](int v) {
      log.push_back(DispatchQueue::currentLabel() + name + std::to_string(v));
    };
  };
  signal->onUpdate(record(":a")).onUpdate(record(":b")).onUpdate(queue, record(":c"));
  signal->update(1);
  signal->update(2);
  drain(queue);
  EXPECT_EQ(log, (std::vector<std::string>{"test.order:a1", "test.order:b1", "test.order:c1",
                                           "test.order:a2", "test.order:b2", "test.order:c2"}));
}

// The seam runs between listing a subscriber and submitting its replay; the
// update it makes is submitted first, yet the replay must arrive first, and
// only once.
std::shared_ptr<Signal<int>> seamSignal;
void updateFromSeam() { seamSignal->update(2); }

TEST(Signal, AnUpdateRacingARegistrationArrivesAfterTheReplayWhichArrivesOnce) {
  for (const DispatchQueue& queue : {DispatchQueue("test.replay"), DispatchQueue::main()}) {
    seamSignal = Signal<int>::make(queue, 1);
    Recorder<int> recorder(queue);
    mornik::detail::signalSubscribeSeam = &updateFromSeam;
    recorder.on(*seamSignal);
    mornik::detail::signalSubscribeSeam = nullptr;
    EXPECT_EQ(recorder.values(), (std::vector<int>{1, 2})) << queue.label();
  }
  seamSignal.reset();
}

struct Model {
  int count = 0;
  std::optional<int> maybe;
  std::string text;
  std::vector<int> log;
  void setText(const std::string& value) { text += "<" + value + ">"; }
};

TEST(Signal, ContextsAssignAndAppendTargetsAreHeldWeaklyAndWrittenWhileTheyLive) {
  DispatchQueue queue("test.assign");
  auto numbers = Signal<int>::make(queue);
  auto texts = Signal<std::string>::make(queue);
  auto model = std::make_shared<Model>();
  auto gone = std::make_shared<Model>();
  numbers->assign(model, &Model::count, queue)
      .assign(model, &Model::maybe, queue)
      .append(model, &Model::log, queue)
      .append(
          model, [](Model& m, int v) { m.log.push_back(v * 100); }, queue)
      .onUpdate(model, [](const std::shared_ptr<Model>& m, int v) { m->log.push_back(-v); })
      .assignAnimated(gone, &Model::maybe, queue)
      .onUpdate(gone, [](Model& m, int v) { m.log.push_back(v); });
  texts->assign(model, &Model::setText, queue)
      .assignAnimated(
          model, [](Model& m, const std::string& v) { m.text += v; }, queue)
      .assign(gone, &Model::text, queue);
  const std::weak_ptr<Model> goneRef = gone;
  gone.reset();
  EXPECT_TRUE(goneRef.expired());
  numbers->update(3);
  numbers->update(4);
  texts->update("hi");
  drain(queue);
  EXPECT_EQ(model->count, 4);
  EXPECT_EQ(model->maybe, 4);
  EXPECT_EQ(model->log, (std::vector<int>{3, 300, -3, 4, 400, -4}));
  EXPECT_EQ(model->text, "<hi>hi");
}

TEST(Signal, ReleasingASignalReleasesItsHandlersCapturesAtOnceAndSilencesQueuedDeliveries) {
  // Main-queue handlers that were handed values: the main queue runs only
  // at the end, so nothing but the release can free what they hold.
  auto capture = std::make_shared<int>(0);
  auto retained = std::make_shared<int>(0);
  auto weakTarget = Signal<int>::make(DispatchQueue::main());
  std::weak_ptr<Signal<int>> strongTarget;
  int runs = 0;  // main queue only
  {
    auto signal = Signal<int>::make(DispatchQueue::main(), 1);
    auto target = Signal<int>::make(DispatchQueue::main());
    strongTarget = target;
    signal->onUpdate([capture, &runs](int) { ++runs; }).updating(target, true);
    signal->updating(weakTarget, false).retain(retained);
    signal->update(2);
    EXPECT_EQ(capture.use_count() + retained.use_count(), 4);
    EXPECT_EQ(weakTarget.use_count(), 1);
  }
  EXPECT_EQ(capture.use_count() + retained.use_count(), 2);
  EXPECT_TRUE(strongTarget.expired());
  drain(DispatchQueue::main());
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(weakTarget->currentValue(), std::nullopt);
}

TEST(Signal, ABlockRunningWhenItsSignalGoesKeepsItsCapturesUntilItReturns) {
  auto capture = std::make_shared<std::atomic<int>>(0);  // read after the block, unsynchronised
  DispatchSemaphore entered;
  DispatchSemaphore leave;
  auto signal = Signal<int>::make(DispatchQueue("test.running"));
  signal->onUpdate([capture, &entered, &leave](int v) {
    entered.signal();
    leave.wait();
    *capture = v;
  });
  signal->update(7);
  entered.wait();
  signal.reset();
  EXPECT_EQ(capture.use_count(), 2);
  leave.signal();
  ASSERT_TRUE(waitFor([&] { return capture.use_count() == 1; }));
  EXPECT_EQ(capture->load(), 7);
}

// Counts its updates, the initial value's included.
class CountingSignal : public Signal<int> {
 public:
  static std::shared_ptr<CountingSignal> make(DispatchQueue queue, int initial) {
    return makeDerived<CountingSignal>(initial, std::move(queue));
  }
  CountingSignal(Passkey key, DispatchQueue queue) : Signal<int>(key, std::move(queue)) {}
  void update(const int& value) override {
    ++updates;
    Signal<int>::update(value);
  }
  std::atomic<int> updates{0};
};

TEST(Signal, AnOverriddenUpdateServesTheInitialValueAndEveryForwarding) {
  DispatchQueue queue("test.override");
  auto counting = CountingSignal::make(queue, 2);
  auto source = Signal<int>::make(queue);
  source->updating(counting, true).update(3);
  drain(queue);
  EXPECT_EQ(counting->updates.load(), 2);
  EXPECT_EQ(counting->currentValue(), 3);
}

TEST(Signal, ThinningTakesDurationsLikeSeconds) {
  auto signal = Signal<int>::make(DispatchQueue("test.thin"), 1);
  Recorder<int> recorder;
  recorder.on(*signal->debounce(std::chrono::milliseconds(1)));
  ASSERT_TRUE(waitFor([&] { return recorder.seen() == 1; }));
  EXPECT_THROW((void)signal->throttle(std::chrono::hours::max(), AfterThrottling::none),
               std::invalid_argument);
}

// Two updaters send increasing values tagged with their number while two
// registrars add subscribers on four serial queues: every subscriber must
// see each updater's values in order, none twice, ending with the value
// the buffer ends with; the one registered first sees every value.
TEST(SignalStress, SubscribersAndUpdatersRacingSeeEachUpdatersValuesOnceInOrder) {
  constexpr int kTag = 1'000'000;
  const int perUpdater = test::scaled(600) + 60;
  const int subscribers = test::scaled(300) + 40;
  auto signal = Signal<int>::make(DispatchQueue::global(), 0);
  struct Seen {
    std::array<int, 2> last{-1, kTag - 1};
    int count = 0;
    bool ordered = true;
  };
  std::vector<Seen> seen(static_cast<std::size_t>(subscribers));  // each on its queue only
  std::vector<DispatchQueue> queues;
  for (int i = 0; i < 4; ++i) queues.emplace_back("stress.signal." + std::to_string(i));
  auto subscribe = [&](int i) {
    Seen& mine = seen[static_cast<std::size_t>(i)];
    signal->onUpdate(queues[static_cast<std::size_t>(i % 4)], [&mine](int v) {
      int& last = mine.last[static_cast<std::size_t>(v / kTag)];
      mine.ordered = mine.ordered && v > last;
      last = v;
      ++mine.count;
    });
  };
  subscribe(0);
  test::runConcurrently(4, [&](int t) {
    for (int i = 1 + t; t < 2 && i < subscribers; i += 2) subscribe(i);
    for (int v = 1; t >= 2 && v <= perUpdater; ++v) signal->update((t - 2) * kTag + v);
  });
  for (const auto& queue : queues) drain(queue);
  const int final = *signal->currentValue();
  for (const Seen& mine : seen) {
    ASSERT_TRUE(mine.ordered);
    ASSERT_EQ(mine.last[static_cast<std::size_t>(final / kTag)], final);
  }
  EXPECT_EQ(seen[0].count, 1 + 2 * perUpdater);
}

}  // namespace
}  // namespace mornik::Flow
