#include "mornik/flow/signal/Signal.hpp"

#include <string>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchSemaphore.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/Recorder.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;

// Counts its updates: the initial value goes through the override too.
class CountingSignal : public Signal<int> {
 public:
  CountingSignal(Passkey key, DispatchQueue queue) : Signal<int>(key, std::move(queue)) {}
  static auto make(DispatchQueue queue, int initial) {
    return makeDerived<CountingSignal>(initial, std::move(queue));
  }
  void update(const int& value) override {
    ++updates;
    Signal<int>::update(value);
  }
  int updates = 0;  // this thread only
};

// On the main queue, which runs only while this thread drains it: nothing
// can run inside a registering call unseen.
TEST(Signal, ReplaysTheBufferOnceThenDeliversEachUpdateInRegistrationOrder) {
  const DispatchQueue main = DispatchQueue::main();
  auto signal = CountingSignal::make(main, 5);
  EXPECT_EQ(signal->currentValue(), 5);
  std::vector<std::string> log;  // main queue only
  auto record = [&log](const char* name) {
    return [&log, name](int v) {
      log.push_back(name + std::to_string(v) +
                    (DispatchQueue::current() == DispatchQueue::main() ? "" : "?"));
    };
  };
  signal->onUpdate(record("a")).onUpdate(main, record("b"));
  EXPECT_TRUE(log.empty());
  signal->clearBuffer();  // tells nobody
  EXPECT_EQ(signal->currentValue(), std::nullopt);
  signal->onUpdate(record("c"));  // an empty buffer replays nothing
  EXPECT_EQ(signal->startWith(8), signal);
  signal->update(9);
  drain(main);
  EXPECT_EQ(log, (std::vector<std::string>{"a5", "b5", "a8", "b8", "c8", "a9", "b9", "c9"}));
  EXPECT_EQ(signal->updates, 3);
}

// The seam runs between listing a subscriber and submitting its replay; the
// update it makes is submitted first, yet the replay must arrive first, and
// only once.
std::shared_ptr<Signal<int>> seamSignal;
void updateFromSeam() { seamSignal->update(2); }

TEST(Signal, AnUpdateRacingARegistrationArrivesAfterTheReplayWhichArrivesOnce) {
  for (const DispatchQueue& queue : {DispatchQueue("test.replay"), DispatchQueue::main()}) {
    seamSignal = Signal<int>::make(queue, 1);
    test::Recorder<int> recorder(queue);
    mornik::detail::signalSubscribeSeam = &updateFromSeam;
    recorder.on(*seamSignal);
    mornik::detail::signalSubscribeSeam = nullptr;
    EXPECT_EQ(recorder.values(), (std::vector<int>{1, 2})) << queue.label();
  }
  seamSignal.reset();
}

struct Model {
  int count = 0;
  std::vector<int> log;
  void add(int v) { log.push_back(10 * v); }
};

TEST(Signal, WritesIntoTargetsHeldWeaklyWhileTheyLive) {
  DispatchQueue queue("test.assign");
  auto signal = Signal<int>::make(queue);
  auto model = std::make_shared<Model>();
  auto gone = std::make_shared<Model>();
  signal->assign(model, &Model::count, queue)
      .assign(model, &Model::add, queue)
      .append(model, &Model::log, queue)
      .append(
          model, [](Model& m, int v) { m.log.push_back(100 * v); }, queue)
      .assignAnimated(
          model, [](Model& m, int v) { m.log.push_back(-v); }, queue)
      .onUpdate(model, [](const std::shared_ptr<Model>& m, int v) { m->count += v; })
      .assignAnimated(gone, &Model::count, queue)
      .onUpdate(gone, [](Model& m, int v) { m.log.push_back(v); });
  const std::weak_ptr<Model> goneRef = gone;
  gone.reset();
  EXPECT_TRUE(goneRef.expired());
  signal->update(3);
  signal->update(4);
  drain(queue);
  EXPECT_EQ(model->count, 8);
  EXPECT_EQ(model->log, (std::vector<int>{30, 3, 300, -3, 40, 4, 400, -4}));
}

// Releasing a signal frees at once what its handlers and retain() hold
// (a strongly forwarded target too), silences deliveries already queued,
// and lets a block that is running keep its captures until it returns.
TEST(Signal, ReleasingASignalReleasesItsHandlersAndSilencesQueuedDeliveries) {
  auto capture = std::make_shared<int>(0);
  auto running = std::make_shared<std::atomic<int>>(0);
  auto weakTarget = Signal<int>::make(DispatchQueue::main());
  std::weak_ptr<Signal<int>> strongTarget;
  DispatchSemaphore entered;
  DispatchSemaphore leave;
  int runs = 0;  // main queue only: it runs at the end
  {
    auto signal = Signal<int>::make(DispatchQueue::main(), 1);
    auto target = Signal<int>::make(DispatchQueue::main());
    strongTarget = target;
    signal->onUpdate([capture, &runs](int) { ++runs; }).updating(target, true);
    signal->updating(weakTarget, false).retain(capture);
    signal->onUpdate(DispatchQueue("test.running"), [running, &entered, &leave](int v) {
      entered.signal();
      leave.wait();
      *running += v;
    });
    entered.wait();  // running the replay of 1
    signal->update(2);
    EXPECT_EQ(capture.use_count(), 3);
    EXPECT_EQ(weakTarget.use_count(), 1);
  }
  EXPECT_EQ(capture.use_count(), 1);
  EXPECT_TRUE(strongTarget.expired());
  EXPECT_EQ(running.use_count(), 2);
  leave.signal();
  ASSERT_TRUE(test::waitFor([&] { return running.use_count() == 1; }));
  drain(DispatchQueue::main());
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(running->load(), 1);  // the queued 2 never ran
  EXPECT_EQ(weakTarget->currentValue(), std::nullopt);
}

// Two updaters send increasing values (one positive, one negative) while
// two registrars add subscribers on four serial queues: every subscriber
// sees each updater's values in order, none twice, and ends with the value
// the buffer ends with; the one registered first sees every value.
TEST(SignalStress, SubscribersAndUpdatersRacingSeeEachUpdatersValuesOnceInOrder) {
  const int perUpdater = test::scaled(600) + 60;
  const int subscribers = test::scaled(300) + 40;
  auto signal = Signal<int>::make(DispatchQueue::global(), 0);
  struct Seen {
    int high = -1, low = 1, count = 0;  // NOLINT(readability-isolate-declaration)
    bool ordered = true;
  };
  std::vector<Seen> seen(static_cast<std::size_t>(subscribers));  // each on its queue only
  std::vector<DispatchQueue> queues;
  for (int i = 0; i < 4; ++i) queues.emplace_back("stress.signal." + std::to_string(i));
  auto subscribe = [&](int i) {
    signal->onUpdate(queues[i % 4], [&mine = seen[static_cast<std::size_t>(i)]](int v) {
      mine.ordered = mine.ordered && (v >= 0 ? v > mine.high : v < mine.low);
      (v >= 0 ? mine.high : mine.low) = v;
      ++mine.count;
    });
  };
  subscribe(0);
  test::runConcurrently(4, [&](int t) {
    for (int i = 1 + t; t < 2 && i < subscribers; i += 2) subscribe(i);
    for (int v = 1; t >= 2 && v <= perUpdater; ++v) signal->update(t == 2 ? v : -v);
  });
  for (const auto& queue : queues) test::drain(queue);
  const int final = *signal->currentValue();
  for (const Seen& mine : seen) {
    ASSERT_TRUE(mine.ordered);
    ASSERT_EQ(final >= 0 ? mine.high : mine.low, final);
  }
  EXPECT_EQ(seen[0].count, 1 + 2 * perUpdater);
}

}  // namespace
}  // namespace mornik::Flow
