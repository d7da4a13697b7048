#include "mornik/flow/signal/Signal.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
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
  std::thread([&] {
    for (int v = 1; v <= 2; ++v) signal->update(v);
  }).join();
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
  void setText(const std::string& value) { text = "<" + value + ">"; }
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
      .assignAnimated(
          model, [](Model& m, int v) { m.text += std::to_string(v); }, queue)
      .assign(gone, &Model::count, queue)
      .assignAnimated(gone, &Model::maybe, queue)
      .onUpdate(gone, [](Model& m, int v) { m.log.push_back(v); });
  texts->assign(model, &Model::setText, queue).assignAnimated(gone, &Model::text, queue);
  const std::weak_ptr<Model> goneRef = gone;
  gone.reset();
  EXPECT_TRUE(goneRef.expired());
  numbers->update(3);
  numbers->update(4);
  drain(queue);
  EXPECT_EQ(model->text, "34");
  texts->update("hi");
  drain(queue);
  EXPECT_EQ(model->count, 4);
  EXPECT_EQ(model->maybe, 4);
  EXPECT_EQ(model->log, (std::vector<int>{3, 300, -3, 4, 400, -4}));
  EXPECT_EQ(model->text, "<hi>");
}

TEST(Signal, ReleasingASignalReleasesItsHandlersCapturesAtOnceAndSilencesQueuedDeliveries) {
  // Main-queue handlers that were handed values: the main queue runs only
  // at the end, so nothing but the release can free what they hold.
  DispatchQueue queue("test.release");
  auto capture = std::make_shared<int>(0);
  auto retained = std::make_shared<int>(0);
  auto context = std::make_shared<int>(0);
  auto weakTarget = Signal<int>::make(queue);
  std::weak_ptr<Signal<int>> strongTarget;
  int runs = 0;  // main queue only
  {
    auto signal = Signal<int>::make(DispatchQueue::main(), 1);
    auto target = Signal<int>::make(queue);
    strongTarget = target;
    signal->onUpdate([capture, &runs](int) { ++runs; })
        .onUpdate(context, [&runs](int&, int) { ++runs; })
        .updating(target, true)
        .updating(weakTarget, false);
    signal->retain(retained);
    signal->update(2);
    EXPECT_EQ(capture.use_count(), 2);
    EXPECT_EQ(retained.use_count(), 2);
    EXPECT_EQ(context.use_count(), 1);  // contexts are not owned
    EXPECT_EQ(weakTarget.use_count(), 1);
    EXPECT_FALSE(strongTarget.expired());  // the source keeps a retained target
  }
  EXPECT_EQ(capture.use_count(), 1);
  EXPECT_EQ(retained.use_count(), 1);
  EXPECT_TRUE(strongTarget.expired());
  drain(DispatchQueue::main());
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(weakTarget->currentValue(), std::nullopt);
}

TEST(Signal, ABlockRunningWhenItsSignalGoesKeepsItsCapturesUntilItReturns) {
  DispatchQueue queue("test.running");
  auto capture = std::make_shared<int>(0);
  DispatchSemaphore entered;
  DispatchSemaphore leave;
  auto signal = Signal<int>::make(queue);
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
  EXPECT_EQ(*capture, 7);
}

// Counts its updates and refuses negative values.
class CountingSignal : public Signal<int> {
 public:
  static std::shared_ptr<CountingSignal> make(DispatchQueue queue, std::optional<int> initial) {
    return makeDerived<CountingSignal>(initial, std::move(queue));
  }
  CountingSignal(Passkey key, DispatchQueue queue) : Signal<int>(key, std::move(queue)) {}
  void update(const int& value) override {
    ++updates;
    if (value >= 0) Signal<int>::update(value);
  }
  std::atomic<int> updates{0};
};

TEST(Signal, AnOverriddenUpdateServesTheInitialValueAndEveryForwarding) {
  DispatchQueue queue("test.override");
  auto counting = CountingSignal::make(queue, 2);
  EXPECT_EQ(counting->updates.load(), 1);
  auto source = Signal<int>::make(queue);
  source->updating(counting, true);
  source->update(-1);
  source->update(3);
  drain(queue);
  EXPECT_EQ(counting->updates.load(), 3);
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

// ---- Races ----

TEST(SignalStress, SubscribersRacingUpdatesGetTheBufferOnceThenEveryLaterValueInOrder) {
  const int subscribers = test::scaled(1'500) + 100;
  auto signal = Signal<int>::make(DispatchQueue::global(), 0);
  struct Seen {
    int last = -1;
    bool ordered = true;
  };
  std::vector<Seen> seen(static_cast<std::size_t>(subscribers));  // each on its queue only
  std::vector<DispatchQueue> queues;
  for (int i = 0; i < 4; ++i) queues.emplace_back("stress.signal." + std::to_string(i));
  std::atomic<int> registered{0};
  std::atomic<bool> done{false};
  std::thread updater([&] {
    int v = 0;
    while (!done.load()) {
      // Paced by the registrations, so that deliveries stay bounded.
      if (v < registered.load() + 8) signal->update(++v);
      std::this_thread::yield();
    }
    signal->update(++v);
  });
  test::runConcurrently(2, [&](int t) {
    for (int i = t; i < subscribers; i += 2) {
      Seen& mine = seen[static_cast<std::size_t>(i)];
      signal->onUpdate(queues[static_cast<std::size_t>(i) % queues.size()], [&mine](int v) {
        mine.ordered = mine.ordered && v > mine.last;
        mine.last = v;
      });
      ++registered;
    }
  });
  done = true;
  updater.join();
  for (const auto& queue : queues) drain(queue);
  for (const Seen& mine : seen) {
    ASSERT_TRUE(mine.ordered);
    ASSERT_EQ(mine.last, *signal->currentValue());
  }
}

TEST(SignalStress, ConcurrentUpdatesReachEveryHandlerExactlyOnce) {
  const int perThread = test::scaled(10'000);
  constexpr int kThreads = 3;
  constexpr int kHandlers = 5;
  auto signal = Signal<int>::make(DispatchQueue::global());
  std::atomic<long> sum{0};
  std::atomic<long> deliveries{0};
  for (int h = 0; h < kHandlers; ++h) {
    signal->onUpdate([&](int v) {
      sum.fetch_add(v, std::memory_order_relaxed);
      deliveries.fetch_add(1, std::memory_order_relaxed);
    });
  }
  test::runConcurrently(kThreads, [&](int /*thread*/) {
    for (int v = 1; v <= perThread; ++v) signal->update(v);
  });
  const long expected = long{kThreads} * kHandlers * perThread;
  ASSERT_TRUE(waitFor([&] { return deliveries.load() >= expected; }, 60));
  EXPECT_EQ(deliveries.load(), expected);
  EXPECT_EQ(sum.load(), expected * (perThread + 1) / 2);
  EXPECT_EQ(signal->currentValue(), perThread);
}

}  // namespace
}  // namespace mornik::Flow
