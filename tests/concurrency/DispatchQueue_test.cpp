#include "mornik/concurrency/DispatchQueue.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "mornik/concurrency/BlockingScope.hpp"
#include "mornik/concurrency/DispatchGroup.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/concurrency/DispatchTimerSource.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/concurrency/Task.hpp"
#include "mornik/concurrency/detail/Executor.hpp"
#include "mornik/concurrency/detail/TestHooks.hpp"

#include "tests/support/Concurrently.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"
#include "tests/support/TestHook.hpp"

#if defined(MORNIK_TEST_TSAN)
// The fork test's child starts threads again, which ThreadSanitizer refuses
// by default after a multi-threaded fork.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace mornik {
namespace {

using test::waitFor;

// Producers mix async and sync onto several serial queues and the global
// ones: each serial queue runs its items one at a time, each producer's
// items in the order it submitted them, and nothing is lost.
TEST(DispatchQueueSerial, ItemsRunAloneAndInOrderUnderManyProducers) {
  const int producers = 4;
  const int queues = 3;
  const int perProducer = test::scaled(20000);
  struct PerQueue {
    std::atomic<int> inside{0};
    std::vector<int> last = std::vector<int>(producers, -1);  // queue work only
    long ran = 0;
    int faults = 0;
  };
  std::vector<DispatchQueue> serial;
  for (int q = 0; q < queues; ++q) serial.emplace_back("test.fifo." + std::to_string(q));
  std::vector<PerQueue> seen(queues);
  std::atomic<long> globalRan{0};
  DispatchGroup group;
  test::runConcurrently(producers, [&](int p) {
    for (int i = 0; i < perProducer; ++i) {
      if (i % 4 == 3) {
        group.async(DispatchQueue::global(static_cast<QoS>(i % 5)),
                    [&] { globalRan.fetch_add(1); });
        continue;
      }
      const auto q = static_cast<std::size_t>((i + p) % queues);
      auto body = [&s = seen[q], p, i] {
        if (s.inside.fetch_add(1) != 0) ++s.faults;
        if (s.last[static_cast<std::size_t>(p)] >= i) ++s.faults;
        s.last[static_cast<std::size_t>(p)] = i;
        ++s.ran;
        s.inside.fetch_sub(1);
      };
      if (i % 8 == 0) {
        serial[q].sync(body);
      } else {
        group.async(serial[q], body);
      }
    }
  });
  ASSERT_TRUE(group.wait(test::kEventTimeout * 3));
  long serialRan = 0;
  for (std::size_t q = 0; q < queues; ++q) {
    EXPECT_EQ(serial[q].sync([&] { return seen[q].faults; }), 0) << q;
    serialRan += seen[q].ran;
  }
  EXPECT_EQ(globalRan.load(), static_cast<long>(producers) * (perProducer / 4));
  EXPECT_EQ(serialRan + globalRan.load(), static_cast<long>(producers) * perProducer);
}

// While an item runs, the queue belongs to its drainer: work submitted
// meanwhile must not hand the queue to the pool a second time (a second
// drainer would run it alongside). Work already submitted still runs, in
// order, once the last handle is gone.
TEST(DispatchQueueSerial, OneDrainerAtATimeAndWorkOutlivesTheHandles) {
  std::atomic<int> scheduled{0};
  auto counter = std::make_shared<std::atomic<int>>(0);
  std::optional<test::QueueGate> gate;
  {
    DispatchQueue queue("test.exclusive");
    gate.emplace(queue);
    test::HookAt hook(detail::TestPoint::serialScheduled, [&](const void* subject) {
      if (subject == queue.impl().get()) scheduled.fetch_add(1);
    });
    for (int i = 0; i < 100; ++i) {
      queue.async([counter, i] {
        if (counter->load() == i) counter->fetch_add(1);
      });
    }
    EXPECT_EQ(scheduled.load(), 0);
  }
  gate->release();
  EXPECT_TRUE(waitFor([&] { return counter->load() == 100; })) << counter->load();
}

// Work waiting behind others in a serial queue is asked to prefetch once,
// before it runs (the first few items after the running one may not be).
TEST(DispatchQueueSerial, WaitingWorkIsAskedToPrefetchOnceBeforeItRuns) {
  constexpr int kItems = 24;
  using Log = std::vector<std::string>;
  struct Work {
    Log* log;  // written on the queue only
    int index;
    void operator()() const { log->push_back("run " + std::to_string(index)); }
    void prefetch() const noexcept { log->push_back("prefetch " + std::to_string(index)); }
  };
  const DispatchQueue queue("test.prefetch");
  Log log;
  {
    const test::QueueGate gate(queue);
    for (int i = 0; i < kItems; ++i) queue.async(Work{&log, i});
  }
  test::drain(queue);
  for (int i = 8; i < kItems; ++i) {
    const std::string asked = "prefetch " + std::to_string(i);
    EXPECT_EQ(std::count(log.begin(), log.end(), asked), 1) << i;
    EXPECT_LT(std::find(log.begin(), log.end(), asked),
              std::find(log.begin(), log.end(), "run " + std::to_string(i)))
        << i;
  }
}

TEST(DispatchQueueAsync, NeverRunsInsideTheSubmittingCall) {
  // Set on a thread while it is inside a submitting call.
  static thread_local bool insideSubmit = false;
  std::atomic<int> ran{0};
  std::atomic<int> inline_{0};
  auto check = [&] {
    if (insideSubmit) inline_.fetch_add(1);
    ran.fetch_add(1);
  };
  auto submitFrom = [&](DispatchQueue queue) {
    insideSubmit = true;
    queue.async(check);
    insideSubmit = false;
  };
  DispatchQueue serial("test.inline");
  // From outside, from the queue's own work (serial and global), and the
  // main queue from the main thread: nothing runs before the loop runs.
  submitFrom(serial);
  serial.async([&] { submitFrom(serial); });
  for (QoS qos : {QoS::default_, QoS::userInteractive}) {
    DispatchQueue::global(qos).async([&, qos] { submitFrom(DispatchQueue::global(qos)); });
  }
  submitFrom(DispatchQueue::main());
  ASSERT_TRUE(waitFor([&] { return ran.load() == 5; }));
  EXPECT_EQ(inline_.load(), 0);
}

// Everything timed fires at its deadline, not a nanosecond before, in
// deadline order and on its own queue; the clock only moves when the test
// moves it.
TEST(ExecutorClock, TimedWorkFiresAtItsDeadlineInOrderAndNeverEarly) {
  test::ManualClock clock;
  DispatchQueue queue("test.clock");
  std::mutex lock;
  std::vector<std::string> fired;
  auto record = [&](std::string what) {
    return [&, what] {
      const std::lock_guard<std::mutex> guard(lock);
      fired.push_back(what + "@" + DispatchQueue::currentLabel());
    };
  };
  auto firedNow = [&] {
    const std::lock_guard<std::mutex> guard(lock);
    return fired;
  };
  queue.asyncAfter(2.0, record("later"));
  queue.asyncAfter(-5.0, record("now"));
  queue.asyncAfter(1.0, record("serial"));
  // An item's own class and flags leave it work of the queue it was given to.
  queue.asyncAfter(1.0, QoS::background, WorkItemFlags::enforceQoS, record("flags"));
  DispatchQueue::global(QoS::utility)
      .asyncAfter(std::chrono::seconds(1), QoS::userInteractive, WorkItemFlags::detached,
                  record("global"));
  auto timer = DispatchTimerSource::make(queue);
  timer->schedule(std::chrono::milliseconds(1000));
  timer->setEventHandler(record("timer"));
  timer->resume();
  auto sleeper = [&]() -> Task<> {
    co_await sleep(1.0);
    record("sleep")();
  };
  queue.sync([&] { sleeper().startHere(queue, [](Result<void>) {}); });
  auto runLoopTimer = RunLoopTimer::scheduled(1.0, false, [&](RunLoopTimer&) { record("loop")(); });
  ASSERT_TRUE(waitFor([&] { return firedNow().size() == 1; }));
  clock.advance(1.0 - 1e-9);
  EXPECT_EQ(firedNow(), std::vector<std::string>{"now@test.clock"});
  clock.advance(std::chrono::nanoseconds(1));
  auto all = firedNow();
  std::sort(all.begin() + 1, all.end());
  EXPECT_EQ(
      all, (std::vector<std::string>{"now@test.clock", "flags@test.clock",
                                     "global@mornik.global.utility", "loop@mornik.main",
                                     "serial@test.clock", "sleep@test.clock", "timer@test.clock"}));
  clock.advance(1.0);
  EXPECT_EQ(firedNow().back(), "later@test.clock");
  EXPECT_THROW(queue.asyncAfter(std::nan(""), [] {}), std::invalid_argument);
  EXPECT_THROW(queue.asyncAfter(HUGE_VAL, [] {}), std::invalid_argument);
}

// An item's class of service and flags pick the class a global queue serves
// it at (ExecutorClock checks it still runs as work of its queue).
TEST(DispatchQueueAsyncAfter, TheItemsClassOfServiceAndFlagsPickTheClassItIsServedAt) {
  using F = WorkItemFlags;
  const QoS low = QoS::utility;
  const QoS high = QoS::userInitiated;
  EXPECT_EQ(detail::effectiveQoS(low, high, F::none), high);
  EXPECT_EQ(detail::effectiveQoS(high, low, F::none), high);
  EXPECT_EQ(detail::effectiveQoS(high, low, F::enforceQoS), low);
  EXPECT_EQ(detail::effectiveQoS(low, high, F::inheritQoS | F::barrier), low);
  EXPECT_EQ(detail::effectiveQoS(low, high, F::noQoS), low);
  EXPECT_EQ(detail::effectiveQoS(low, QoS::unspecified, F::none), low);
}

// sync waits for the items before it, runs on the calling thread as work of
// the queue (labels nest and unwind), returns the result or rethrows, and
// the queue goes on afterwards.
TEST(DispatchQueueSync, RunsInOrderOnTheCallerAsWorkOfTheQueue) {
  DispatchQueue queue("test.sync");
  DispatchQueue unnamed("");
  DispatchSemaphore gate;
  std::vector<int> order;  // queue work only
  queue.async([&] { gate.wait(); });
  queue.async([&] { order.push_back(1); });
  std::thread releaser([&] { gate.signal(); });
  const auto caller = std::this_thread::get_id();
  const auto [seen, thread, labels] = queue.sync([&] {
    order.push_back(2);
    const std::string outer = DispatchQueue::currentLabel();
    const std::string inner = unnamed.sync([] { return DispatchQueue::currentLabel() + "!"; });
    return std::make_tuple(order.size(), std::this_thread::get_id(),
                           outer + "|" + inner + "|" + DispatchQueue::currentLabel());
  });
  releaser.join();
  EXPECT_EQ(seen, 2U);
  EXPECT_EQ(thread, caller);
  EXPECT_EQ(labels, "test.sync|!|test.sync");
  EXPECT_EQ(DispatchQueue::global().sync([] { return DispatchQueue::currentLabel(); }),
            "mornik.global.default");
  EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("inside"); }), std::runtime_error);
  queue.async([&] { order.push_back(3); });
  EXPECT_EQ(queue.sync([&] { return order; }), (std::vector<int>{1, 2, 3}));
  // Outside any work: the main queue on the main thread, nothing elsewhere.
  EXPECT_EQ(DispatchQueue::currentLabel(), "mornik.main");
  std::string fromPlainThread = "unset";
  std::thread([&] { fromPlainThread = DispatchQueue::currentLabel(); }).join();
  EXPECT_EQ(fromPlainThread, "");
}

TEST(DispatchQueueDeathTest, SelfSyncAndEscapingExceptionsEndTheProcessWithAMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        DispatchQueue queue("test.self-sync");
        queue.sync([&] { queue.sync([] {}); });
      },
      "sync onto the queue \"test.self-sync\"");
  EXPECT_DEATH(DispatchQueue::main().sync([] {}), "sync onto the queue \"mornik.main\"");
  EXPECT_DEATH(
      {
        DispatchQueue("test.throws").async([] { throw std::runtime_error("lost error"); });
        std::this_thread::sleep_for(std::chrono::seconds(10));
      },
      "escaped work on queue \"test.throws\": lost error");
}

TEST(DispatchQueueSpecific, ValuesAreReadForTheQueueTheCallerRunsOn) {
  DispatchSpecificKey<std::string> key;
  DispatchQueue a("test.a");
  DispatchQueue b("test.b");
  a.setSpecific(key, std::string("on a"));
  b.setSpecific(key, std::string("on b"));
  EXPECT_EQ(a.specific(key), "on a");
  const auto seen = a.sync([&] {
    std::vector<std::optional<std::string>> values;
    values.push_back(DispatchQueue::getSpecific(key));
    b.sync([&] { values.push_back(DispatchQueue::getSpecific(key)); });
    values.push_back(DispatchQueue::getSpecific(key));  // back on a
    return values;
  });
  EXPECT_EQ(seen, (std::vector<std::optional<std::string>>{"on a", "on b", "on a"}));
  a.setSpecific(key, std::nullopt);
  EXPECT_EQ(a.sync([&] { return DispatchQueue::getSpecific(key); }), std::nullopt);
  EXPECT_EQ(DispatchQueue::getSpecific(key), std::nullopt);  // main thread: main queue
  std::atomic<bool> onMain{false};
  DispatchSpecificKey<int> mainKey;
  DispatchQueue::main().setSpecific(mainKey, 1);
  DispatchQueue::global().async([&] {
    if (!DispatchQueue::getSpecific(mainKey)) {
      DispatchQueue::main().async([&] { onMain = DispatchQueue::getSpecific(mainKey) == 1; });
    }
  });
  EXPECT_TRUE(waitFor([&] { return onMain.load(); }));
}

// Main-queue work runs only on the main thread while its run loop runs; a
// sync from another thread takes its turn between the items.
TEST(DispatchQueueMain, RunsOnlyOnTheMainThreadWhileItsRunLoopRuns) {
  const auto mainThread = std::this_thread::get_id();
  std::vector<int> order;  // main-queue work only
  int ran = 0;             // main-queue work only
  int offMain = 0;         // main-queue work only
  std::atomic<bool> done{false};
  DispatchSemaphore posted;
  DispatchQueue::main().async([&] { order.push_back(1); });
  std::thread other([&] {
    for (int i = 0; i < 1000; ++i) {
      DispatchQueue::main().async([&] {
        ++ran;
        offMain += std::this_thread::get_id() != mainThread;
      });
    }
    posted.signal();
    DispatchQueue::main().sync([&] { order.push_back(2); });
    DispatchQueue::main().async([&] {
      order.push_back(3);
      done = true;
    });
  });
  posted.wait();
  EXPECT_EQ(ran, 0) << "main-queue work ran without the main run loop";
  EXPECT_TRUE(waitFor([&] { return done.load(); }));
  other.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(ran, 1000);
  EXPECT_EQ(offMain, 0);
}

TEST(DispatchQueuePool, HigherClassesOfServiceAreServedFirst) {
  // Keep every worker busy (spinning, not blocking, so the pool does not
  // grow), queue low then high work, then let the workers go. Every worker
  // alive counts: workers added while earlier work blocked stay for a second
  // and would take low work the moment it is queued.
  // The spinners' state outlives the test: a spinner still queued when the
  // loop below ends (a worker retired meanwhile) starts later, sees the
  // release and ends, instead of spinning on a dead frame and holding a
  // worker from the tests that follow.
  struct Spin {
    std::atomic<bool> release{false};
    std::atomic<int> busy{0};
  };
  const auto spin = std::make_shared<Spin>();
  int workers = 0;
  for (int submitted = 0; spin->busy.load() < (workers = detail::poolWorkerCount());) {
    for (; submitted < workers; ++submitted) {
      DispatchQueue::global(QoS::userInteractive).async([spin] {
        spin->busy.fetch_add(1);
        while (!spin->release.load()) std::this_thread::yield();
      });
    }
    ASSERT_TRUE(waitFor(
        [&] { return spin->busy.load() >= submitted || detail::poolWorkerCount() < submitted; }));
  }
  // At most 8 per class: workers take single items from lists that short, so
  // a worker preempted right after taking an item holds only that one (from
  // longer lists they take batches, and a preempted batch would let the other
  // workers reach low items while high ones wait in it).
  const int perClass = 8;
  std::mutex lock;
  std::vector<QoS> order;
  std::atomic<int> done{0};
  auto record = [&](QoS qos) {
    return [&, qos] {
      {
        std::lock_guard guard(lock);
        order.push_back(qos);
      }
      done.fetch_add(1);
    };
  };
  for (QoS qos : {QoS::background, QoS::userInitiated}) {
    for (int i = 0; i < perClass; ++i) DispatchQueue::global(qos).async(record(qos));
  }
  spin->release = true;
  ASSERT_TRUE(waitFor([&] { return done.load() == 2 * perClass; }));
  // Every worker may be about to start one low item while the last high
  // items are taken, so allow as many low items among the first half.
  EXPECT_LE(std::count(order.begin(), order.begin() + perClass, QoS::background), workers);
}

TEST(DispatchQueuePool, GrowsWhileWorkersBlockSoThatQueuedWorkStillRuns) {
  // More items than workers, each waiting for all of them to have started:
  // only a pool that adds workers while others block gets them all going.
  // Enough items that workers take them in batches: a worker that blocks
  // must hand back the items it holds but has not started. The wait is one
  // the pool cannot see (a futex of the test's own) inside a BlockingScope,
  // then a semaphore's (first the former: workers the latter adds stay a
  // while).
  const int items = std::max(detail::poolTargetSize() + 2, 24);
  for (const bool ownWait : {true, false}) {
    SCOPED_TRACE(ownWait ? "a wait of its own in a BlockingScope" : "a semaphore's wait");
    DispatchSemaphore arrived;
    DispatchSemaphore release;
    std::atomic<bool> released{false};
    DispatchGroup finished;
    for (int i = 0; i < items; ++i) {
      finished.async(DispatchQueue::global(), [&, ownWait] {
        arrived.signal();
        if (ownWait) {
          const BlockingScope blocking;
          released.wait(false);
        } else {
          release.wait();
        }
      });
    }
    int started = 0;
    while (started < items && arrived.wait(test::kEventTimeout)) ++started;
    EXPECT_EQ(started, items);
    released = true;
    released.notify_all();
    for (int i = 0; i < items; ++i) release.signal();
    EXPECT_TRUE(finished.wait(test::kEventTimeout));
  }
}

TEST(DispatchQueuePool, WorkSubmittedByABusyWorkerStartsWhileItStaysBusy) {
  if (detail::poolTargetSize() < 2) GTEST_SKIP() << "needs a second worker";
  using Clock = std::chrono::steady_clock;
  std::atomic<bool> ran{false};
  std::atomic<bool> startedElsewhere{false};
  Clock::duration waited{};
  DispatchSemaphore done;
  DispatchQueue::global().async([&] {
    // Lets the other workers finish spinning and go to sleep, so that only
    // the pool's check for untaken work can wake one in time.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto submitted = Clock::now();
    DispatchQueue::global().async([&] { ran = true; });
    // Stay busy without blocking: the submitting worker never gets to it.
    while (!ran.load() && Clock::now() < submitted + std::chrono::seconds(10)) {
      std::this_thread::yield();
    }
    waited = Clock::now() - submitted;
    startedElsewhere = ran.load();
    done.signal();
  });
  done.wait();
  EXPECT_TRUE(startedElsewhere.load());
  // The check wakes a worker within a millisecond or so; a sleeping worker's
  // own idle timeout (a second) must not be what starts it.
  EXPECT_LT(waited, std::chrono::milliseconds(500));
}

// A forked child has none of the parent's threads; its executor starts them
// again, so global, serial, delayed and main-queue work runs there. The
// answer comes back through the exit status.
TEST(DispatchQueueFork, AForkedChildRunsGlobalSerialDelayedAndMainQueueWork) {
  if (test::kUnderThreadSanitizer) {
    // Its runtime does not support starting threads in the child of a
    // multi-threaded fork: the child's new workers sometimes never run.
    GTEST_SKIP() << "threads started after a multi-threaded fork: not supported by ThreadSanitizer";
  }
  if (test::kUnderAddressSanitizer) {
    // Its allocator is not locked across fork(): when one of the parent's
    // threads is inside it at that moment, the child's new threads wait
    // forever on its lock as they start (about one run in twelve).
    GTEST_SKIP() << "threads started after a multi-threaded fork: AddressSanitizer's allocator may "
                    "stay locked in the child";
  }
  DispatchSemaphore warm;  // the parent's workers and timer thread are running
  DispatchQueue::global().asyncAfter(0.001, [&] { warm.signal(); });
  warm.wait();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::atomic<bool> done{false};
    DispatchQueue serial("test.child");
    DispatchQueue::global().async([&] {
      serial.async([&] {
        DispatchQueue::global().asyncAfter(
            0.001, [&] { DispatchQueue::main().async([&] { done = true; }); });
      });
    });
    ::_exit(RunLoop::main().runUntil([&] { return done.load(); }, test::kEventTimeout) ? 0 : 1);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace mornik
