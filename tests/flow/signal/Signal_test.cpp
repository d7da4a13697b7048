#include "mornik/flow/signal/Signal.hpp"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"

#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"

namespace mornik::Flow {
namespace {

using test::drain;
using test::QueueGate;
using test::waitFor;

struct Model {
  int count = 0;
  std::optional<int> maybe;
  std::string text;
  std::vector<int> log;
  int animated = 0;
  std::string animatedText;
  void setText(const std::string& value) { text = "<" + value + ">"; }
};

// ---- Buffer and delivery ----

TEST(Signal, AnInitialValueIsBufferedAndReachesTheFirstSubscriberOnceAsynchronously) {
  DispatchQueue queue("test.signal");
  auto signal = Signal<int>::make(queue, 5);
  EXPECT_EQ(signal->currentValue(), 5);
  EXPECT_EQ(signal->queue(), queue);
  std::vector<int> seen;  // main queue only
  bool inRegistration = true;
  bool ranInside = false;
  signal->onUpdate(DispatchQueue::main(), [&](int value) {
    ranInside = inRegistration;
    seen.push_back(value);
  });
  inRegistration = false;
  EXPECT_TRUE(seen.empty());
  drain(DispatchQueue::main());
  EXPECT_EQ(seen, std::vector<int>{5});
  EXPECT_FALSE(ranInside);
}

TEST(Signal, WithoutAValueASubscriberWaitsForTheFirstUpdate) {
  DispatchQueue queue("test.signal");
  auto signal = Signal<std::string>::make(queue);
  EXPECT_EQ(signal->currentValue(), std::nullopt);
  std::vector<std::string> seen;  // queue only
  std::string ranOn;
  signal->onUpdate([&](const std::string& value) {
    ranOn = DispatchQueue::currentLabel();
    seen.push_back(value);
  });
  drain(queue);
  EXPECT_TRUE(seen.empty());
  signal->update("a");
  drain(queue);
  EXPECT_EQ(seen, std::vector<std::string>{"a"});
  EXPECT_EQ(ranOn, "test.signal");
}

TEST(Signal, ClearBufferEmptiesTheBufferWithoutTellingHandlers) {
  DispatchQueue queue("test.signal");
  auto signal = Signal<int>::make(queue, 1);
  std::vector<int> early;  // queue only
  std::vector<int> late;   // queue only
  signal->onUpdate([&](int value) { early.push_back(value); });
  drain(queue);
  signal->clearBuffer();
  EXPECT_EQ(signal->currentValue(), std::nullopt);
  signal->onUpdate([&](int value) { late.push_back(value); });
  drain(queue);
  EXPECT_EQ(early, std::vector<int>{1});
  EXPECT_TRUE(late.empty());
  signal->update(2);
  drain(queue);
  EXPECT_EQ(early, (std::vector<int>{1, 2}));
  EXPECT_EQ(late, std::vector<int>{2});
}

TEST(Signal, HandlersOnOneSerialQueueSeeEachValueInRegistrationAndUpdateOrder) {
  DispatchQueue queue("test.order");
  auto signal = Signal<int>::make(DispatchQueue::global());
  std::vector<std::string> log;  // queue only
  for (const char* name : {"a", "b", "c"}) {
    signal->onUpdate(queue, [&log, name](int v) { log.push_back(name + std::to_string(v)); });
  }
  std::thread([&] {
    for (int v = 1; v <= 3; ++v) signal->update(v);
  }).join();
  drain(queue);
  EXPECT_EQ(log, (std::vector<std::string>{"a1", "b1", "c1", "a2", "b2", "c2", "a3", "b3", "c3"}));
}

TEST(Signal, StartWithUpdatesExistingHandlersAndReturnsTheSameSignal) {
  DispatchQueue queue("test.signal");
  auto signal = Signal<int>::make(queue);
  std::vector<int> seen;  // queue only
  signal->onUpdate([&](int value) { seen.push_back(value); });
  EXPECT_EQ(signal->startWith(8), signal);
  EXPECT_EQ(signal->currentValue(), 8);
  drain(queue);
  EXPECT_EQ(seen, std::vector<int>{8});
}

// ---- Weakly held objects ----

TEST(Signal, AContextThatIsGoneSkipsItsBlockWhileOtherHandlersGoOn) {
  DispatchQueue queue("test.context");
  auto signal = Signal<int>::make(queue);
  auto kept = std::make_shared<Model>();
  auto dropped = std::make_shared<Model>();
  std::weak_ptr<Model> droppedWeak = dropped;
  signal->onUpdate(kept, [](Model& model, int v) { model.log.push_back(v); });
  signal->onUpdate(dropped, [](Model& model, int v) { model.log.push_back(v); });
  signal->onUpdate(kept, queue,
                   [](const std::shared_ptr<Model>& model, int v) { model->log.push_back(-v); });
  signal->update(1);
  drain(queue);
  EXPECT_EQ(dropped->log, std::vector<int>{1});
  dropped.reset();
  EXPECT_TRUE(droppedWeak.expired());
  signal->update(2);
  drain(queue);
  EXPECT_EQ(kept->log, (std::vector<int>{1, -1, 2, -2}));
}

TEST(Signal, AssignAppendAndAnimatedWritesReachLiveObjectsOnly) {
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
      .assign(gone, &Model::count, queue)
      .assignAnimated(gone, &Model::maybe, queue)
      .assignAnimated(model, &Model::animated, queue)
      .assignAnimated(
          model, [](Model& m, int v) { m.animatedText = std::to_string(v); }, queue);
  texts->assign(model, &Model::setText, queue);
  gone.reset();
  numbers->update(3);
  numbers->update(4);
  texts->update("hi");
  drain(queue);
  EXPECT_EQ(model->count, 4);
  EXPECT_EQ(model->maybe, 4);
  EXPECT_EQ(model->log, (std::vector<int>{3, 300, 4, 400}));
  EXPECT_EQ(model->text, "<hi>");
  EXPECT_EQ(model->animated, 4);
  EXPECT_EQ(model->animatedText, "4");
}

TEST(Signal, UpdatingForwardsToATargetHeldWeaklyOrStrongly) {
  DispatchQueue queue("test.forward");
  auto source = Signal<int>::make(queue);
  auto weakTarget = Signal<int>::make(queue);
  std::weak_ptr<Signal<int>> weakTargetRef = weakTarget;
  std::weak_ptr<Signal<int>> strongTargetRef;
  std::vector<int> strongSeen;  // queue only
  {
    auto strongTarget = Signal<int>::make(queue);
    strongTarget->onUpdate([&](int v) { strongSeen.push_back(v); });
    strongTargetRef = strongTarget;
    source->updating(weakTarget, false).updating(strongTarget, queue, true);
  }
  source->update(1);
  drain(queue);
  EXPECT_EQ(weakTarget->currentValue(), 1);
  weakTarget.reset();
  EXPECT_TRUE(weakTargetRef.expired());
  ASSERT_FALSE(strongTargetRef.expired());  // the source keeps it
  source->update(2);
  drain(queue);
  drain(queue);  // the target's own delivery follows the forwarding
  EXPECT_EQ(strongSeen, (std::vector<int>{1, 2}));
  source.reset();
  // The forwarding block (holding the target) goes on the queue it ran on.
  drain(queue);
  EXPECT_TRUE(strongTargetRef.expired());
}

// ---- Lifetimes ----

TEST(Signal, ReleasingASignalSilencesDeliveriesAlreadyQueued) {
  DispatchQueue queue("test.release");
  std::atomic<int> runs{0};
  {
    QueueGate gate(queue);
    auto signal = Signal<int>::make(queue, 1);
    signal->onUpdate([&](int) { ++runs; });
    signal->update(2);
    signal->update(3);
  }
  drain(queue);
  EXPECT_EQ(runs.load(), 0);
}

struct Tracked {
  static inline std::atomic<int> alive{0};
  Tracked() { ++alive; }
  Tracked(const Tracked& /*unused*/) { ++alive; }
  ~Tracked() { --alive; }
  Tracked& operator=(const Tracked&) = default;
};

TEST(Signal, ASignalOwnsItsHandlersAndRetainedObjectsButNotItsContexts) {
  Tracked::alive = 0;
  auto context = std::make_shared<Tracked>();
  {
    auto signal = Signal<int>::make(DispatchQueue::global());
    signal->onUpdate([kept = Tracked()](int) { (void)kept; });
    signal->onUpdate(context, [](Tracked&, int) {});
    signal->retain(std::make_shared<Tracked>());
    EXPECT_EQ(Tracked::alive.load(), 3);
    context.reset();
    EXPECT_EQ(Tracked::alive.load(), 2);
  }
  EXPECT_EQ(Tracked::alive.load(), 0);
}

// ---- Overriding ----

// Keeps a count of every update and refuses negative values.
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
  std::optional<int> currentValue() const override {
    const auto value = Signal<int>::currentValue();
    return value ? std::optional<int>(*value * 10) : std::nullopt;
  }

  std::atomic<int> updates{0};
};

TEST(Signal, OverriddenOperationsServeTheInitialValueAndEveryForwarding) {
  DispatchQueue queue("test.override");
  auto counting = CountingSignal::make(queue, 2);
  EXPECT_EQ(counting->updates.load(), 1);
  EXPECT_EQ(counting->currentValue(), 20);
  auto source = Signal<int>::make(queue);
  source->updating(counting, true);
  source->update(-1);
  source->update(3);
  drain(queue);
  EXPECT_EQ(counting->updates.load(), 3);
  EXPECT_EQ(counting->currentValue(), 30);
  EXPECT_EQ(counting->startWith(-5), counting);
  EXPECT_EQ(counting->currentValue(), 30);
}

// ---- Races ----

// One round: one thread updates with increasing values, for as long as
// others subscribe; each subscriber must see a strictly increasing sequence
// (no value twice, none out of order) ending with the last value.
void lateSubscribersRound() {
  const int subscribers = test::scaled(1'500) + 100;
  auto signal = Signal<int>::make(DispatchQueue::global(), 0);
  struct Seen {
    int last = -1;
    bool ordered = true;
  };
  std::vector<Seen> seen(static_cast<std::size_t>(subscribers));  // each touched by its queue
  std::vector<DispatchQueue> queues;
  for (int i = 0; i < 4; ++i) queues.emplace_back("stress.signal." + std::to_string(i));
  std::atomic<int> registering{2};
  std::atomic<int> registered{0};
  std::atomic<int> lastValue{0};
  // Paced by the registrations, so that the deliveries (updates times
  // handlers) stay bounded when a registrar gets descheduled.
  std::thread updater([&] {
    int v = 0;
    while (registering.load() > 0) {
      if (v < registered.load() + 8) {
        signal->update(++v);
      } else {
        std::this_thread::yield();
      }
    }
    signal->update(++v);
    lastValue = v;
  });
  std::vector<std::thread> registrars;
  for (int t = 0; t < 2; ++t) {
    registrars.emplace_back([&, t] {
      for (int i = t; i < subscribers; i += 2) {
        Seen& mine = seen[static_cast<std::size_t>(i)];
        signal->onUpdate(queues[static_cast<std::size_t>(i) % queues.size()], [&mine](int v) {
          if (v <= mine.last) mine.ordered = false;
          mine.last = v;
        });
        ++registered;
      }
      --registering;
    });
  }
  for (auto& thread : registrars) thread.join();
  updater.join();
  for (const auto& queue : queues) drain(queue);
  int disordered = 0;
  int stale = 0;
  for (const Seen& mine : seen) {
    if (!mine.ordered) ++disordered;
    if (mine.last != lastValue.load()) ++stale;
  }
  EXPECT_EQ(disordered, 0);
  EXPECT_EQ(stale, 0);
}

TEST(SignalStress, LateSubscribersGetTheBufferOnceAndEveryLaterValueInOrder) {
  for (int round = 0; round < 10; ++round) lateSubscribersRound();
}

TEST(SignalStress, ConcurrentUpdatesReachEveryHandlerExactlyOnce) {
  const int perThread = test::scaled(20'000);
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
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int v = 1; v <= perThread; ++v) signal->update(v);
    });
  }
  for (auto& thread : threads) thread.join();
  const long expected = static_cast<long>(kThreads) * kHandlers * perThread;
  ASSERT_TRUE(waitFor([&] { return deliveries.load() >= expected; }, 60));
  EXPECT_EQ(deliveries.load(), expected);
  EXPECT_EQ(sum.load(), static_cast<long>(kThreads) * kHandlers * perThread * (perThread + 1) / 2);
  EXPECT_EQ(signal->currentValue(), perThread);  // every thread ends with the same value
}

}  // namespace
}  // namespace mornik::Flow
