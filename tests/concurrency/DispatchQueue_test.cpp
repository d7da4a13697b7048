#include "mornik/concurrency/DispatchQueue.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Set on a thread while it is inside a submitting call; work that finds it
// set ran inside that call.
thread_local bool tlsInsideSubmit = false;

template <class F>
void submitMarked(F&& submit) {
  tlsInsideSubmit = true;
  submit();
  tlsInsideSubmit = false;
}

TEST(DispatchQueueSerial, RunsItemsOneAtATimeInSubmissionOrderUnderManyProducers) {
  const int producers = 4;
  const int perProducer = test::scaled(20000);
  DispatchQueue queue("test.fifo");
  std::vector<int> lastSeen(producers, -1);  // touched only by queue work
  std::atomic<int> inside{0};
  std::atomic<int> orderViolations{0};
  std::atomic<int> overlaps{0};
  DispatchGroup group;
  test::runConcurrently(producers, [&](int p) {
    for (int i = 0; i < perProducer; ++i) {
      group.async(queue, [&, p, i] {
        if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
        if (lastSeen[p] != i - 1) orderViolations.fetch_add(1);
        lastSeen[p] = i;
        inside.fetch_sub(1);
      });
    }
  });
  ASSERT_TRUE(group.wait(test::kEventTimeout));
  EXPECT_EQ(orderViolations.load(), 0);
  EXPECT_EQ(overlaps.load(), 0);
  for (int p = 0; p < producers; ++p) EXPECT_EQ(lastSeen[p], perProducer - 1);
}

// While an item runs, the queue belongs to its drainer: work submitted
// meanwhile must not hand the queue to the pool a second time (a second
// drainer would run it alongside).
TEST(DispatchQueueSerial, WorkSubmittedWhileAnItemRunsStartsNoSecondDrainer) {
  DispatchQueue queue("test.exclusive");
  test::QueueGate gate(queue);
  std::atomic<int> scheduled{0};
  test::HookAt hook(detail::TestPoint::serialScheduled, [&](const void* subject) {
    if (subject == queue.impl().get()) scheduled.fetch_add(1);
  });
  std::atomic<bool> ran{false};
  queue.async([&] { ran = true; });
  EXPECT_EQ(scheduled.load(), 0);
  gate.release();
  EXPECT_TRUE(waitFor([&] { return ran.load(); }));
}

TEST(DispatchQueueSerial, WorkRunsAfterTheLastHandleIsGone) {
  auto counter = std::make_shared<std::atomic<int>>(0);
  DispatchSemaphore gate;
  {
    DispatchQueue queue("test.orphan");
    queue.async([&] { gate.wait(); });
    for (int i = 0; i < 100; ++i) {
      queue.async([counter, i] {
        if (counter->load() == i) counter->fetch_add(1);
      });
    }
  }
  gate.signal();
  EXPECT_TRUE(waitFor([&] { return counter->load() == 100; })) << counter->load();
}

TEST(DispatchQueueAsync, NeverRunsInsideTheSubmittingCall) {
  std::atomic<int> ran{0};
  std::atomic<int> inline_{0};
  auto check = [&] {
    if (tlsInsideSubmit) inline_.fetch_add(1);
    ran.fetch_add(1);
  };
  DispatchQueue serial("test.inline");
  // From outside, from the serial queue's own work, and from global work.
  submitMarked([&] { serial.async(check); });
  serial.async([&] { submitMarked([&] { serial.async(check); }); });
  DispatchQueue::global().async(
      [&] { submitMarked([&] { DispatchQueue::global().async(check); }); });
  DispatchQueue::global(QoS::userInteractive).async([&] {
    submitMarked([&] { DispatchQueue::global(QoS::userInteractive).async(check); });
  });
  // The main queue from the main thread: nothing runs before the loop runs.
  submitMarked([&] { DispatchQueue::main().async(check); });
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
  DispatchQueue::global(QoS::utility).asyncAfter(std::chrono::seconds(1), record("global"));
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
  EXPECT_EQ(all, (std::vector<std::string>{"now@test.clock", "global@mornik.global.utility",
                                           "loop@mornik.main", "serial@test.clock",
                                           "sleep@test.clock", "timer@test.clock"}));
  clock.advance(1.0);
  EXPECT_EQ(firedNow().back(), "later@test.clock");
  EXPECT_THROW(queue.asyncAfter(std::nan(""), [] {}), std::invalid_argument);
  EXPECT_THROW(queue.asyncAfter(HUGE_VAL, [] {}), std::invalid_argument);
}

// An item's class of service and flags pick the class a global queue serves
// it at; it still runs as work of the queue it was given to.
TEST(DispatchQueueAsyncAfter, TheItemsClassOfServiceAndFlagsPickTheClassItIsServedAt) {
  using F = WorkItemFlags;
  const QoS low = QoS::utility;
  EXPECT_EQ(detail::effectiveQoS(low, QoS::userInitiated, F::none), QoS::userInitiated);
  EXPECT_EQ(detail::effectiveQoS(QoS::userInitiated, low, F::none), QoS::userInitiated);
  EXPECT_EQ(detail::effectiveQoS(QoS::userInitiated, low, F::enforceQoS), low);
  EXPECT_EQ(detail::effectiveQoS(low, QoS::userInitiated, F::inheritQoS | F::barrier), low);
  EXPECT_EQ(detail::effectiveQoS(low, QoS::userInitiated, F::noQoS), low);
  EXPECT_EQ(detail::effectiveQoS(low, QoS::unspecified, F::none), low);
  test::ManualClock clock;
  std::atomic<int> ran{0};
  auto check = [&](const char* label) {
    return [&ran, label] {
      if (DispatchQueue::currentLabel() == label) ran.fetch_add(1);
    };
  };
  DispatchQueue::global(low).asyncAfter(0.5, QoS::userInteractive, F::detached,
                                        check("mornik.global.utility"));
  DispatchQueue("test.flags")
      .asyncAfter(std::chrono::milliseconds(500), QoS::background, F::enforceQoS,
                  check("test.flags"));
  clock.advance(0.5);
  EXPECT_EQ(ran.load(), 2);
}

TEST(DispatchQueueSync, RunsAfterEarlierItemsAndReturnsTheResult) {
  DispatchQueue queue("test.sync");
  DispatchSemaphore gate;
  std::vector<int> order;  // queue work only
  queue.async([&] { gate.wait(); });
  queue.async([&] { order.push_back(1); });
  std::thread releaser([&] { gate.signal(); });
  const std::size_t seen = queue.sync([&] {
    order.push_back(2);
    return order.size();
  });
  releaser.join();
  EXPECT_EQ(seen, 2U);
  queue.async([&] { order.push_back(3); });
  EXPECT_EQ(queue.sync([&] { return order; }), (std::vector<int>{1, 2, 3}));
}

TEST(DispatchQueueSync, AnExceptionReachesTheCallerAndTheQueueGoesOn) {
  DispatchQueue queue("test.sync-throw");
  EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("inside"); }), std::runtime_error);
  std::atomic<bool> ran{false};
  queue.async([&] { ran = true; });
  EXPECT_TRUE(waitFor([&] { return ran.load(); }));
  EXPECT_EQ(queue.sync([] { return 5; }), 5);
}

TEST(DispatchQueueSync, RunsOnTheCallingThreadAsWorkOfTheQueue) {
  DispatchQueue queue("test.sync-thread");
  const auto caller = std::this_thread::get_id();
  const auto [thread, label] = queue.sync(
      [] { return std::make_pair(std::this_thread::get_id(), DispatchQueue::currentLabel()); });
  EXPECT_EQ(thread, caller);
  EXPECT_EQ(label, "test.sync-thread");
  EXPECT_EQ(DispatchQueue::global().sync([] { return DispatchQueue::currentLabel(); }),
            "mornik.global.default");
}

TEST(DispatchQueueSync, ManyThreadsSyncAndAsyncOnOneQueueStayExclusive) {
  DispatchQueue queue("test.sync-stress");
  const int threads = 4;
  const int iterations = test::scaled(5000);
  long counter = 0;  // guarded by the queue
  test::runConcurrently(threads, [&](int t) {
    for (int i = 0; i < iterations; ++i) {
      if ((i + t) % 2 == 0) {
        queue.sync([&] { ++counter; });
      } else {
        queue.async([&] { ++counter; });
      }
    }
  });
  EXPECT_EQ(queue.sync([&] { return counter; }), static_cast<long>(threads) * iterations);
}

TEST(DispatchQueueSyncDeathTest, SyncOntoTheQueueRunningTheCallerAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        DispatchQueue queue("test.self-sync");
        queue.sync([&] { queue.sync([] {}); });
      },
      "sync onto the queue \"test.self-sync\"");
  EXPECT_DEATH(DispatchQueue::main().sync([] {}), "sync onto the queue \"mornik.main\"");
}

TEST(DispatchQueueDeathTest, AnExceptionEscapingAsyncWorkEndsTheProcessWithItsMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        DispatchQueue("test.throws").async([] { throw std::runtime_error("lost error"); });
        std::this_thread::sleep_for(std::chrono::seconds(10));
      },
      "escaped work on queue \"test.throws\": lost error");
}

TEST(DispatchQueueLabels, CurrentLabelFollowsTheRunningWork) {
  DispatchQueue named("test.label");
  DispatchQueue unnamed("");
  EXPECT_EQ(named.label(), "test.label");
  EXPECT_EQ(unnamed.sync([] { return DispatchQueue::currentLabel(); }), "");
  EXPECT_EQ(named.sync([&] {
    const std::string outer = DispatchQueue::currentLabel();
    const std::string inner = unnamed.sync([] { return DispatchQueue::currentLabel() + "!"; });
    return outer + "|" + inner + "|" + DispatchQueue::currentLabel();
  }),
            "test.label|!|test.label");
  std::string fromPlainThread = "unset";
  std::thread([&] { fromPlainThread = DispatchQueue::currentLabel(); }).join();
  EXPECT_EQ(fromPlainThread, "");
  EXPECT_EQ(DispatchQueue::currentLabel(), "mornik.main");  // the main thread
  EXPECT_EQ(DispatchQueue::global(QoS::utility).label(), "mornik.global.utility");
}

TEST(DispatchQueueSpecific, ValuesAreReadForTheQueueTheCallerRunsOn) {
  DispatchSpecificKey<std::string> key;
  DispatchSpecificKey<std::string> otherKey;
  DispatchQueue a("test.a");
  DispatchQueue b("test.b");
  a.setSpecific(key, std::string("on a"));
  b.setSpecific(key, std::string("on b"));
  EXPECT_EQ(a.specific(key), "on a");
  EXPECT_EQ(a.specific(otherKey), std::nullopt);
  const auto seen = a.sync([&] {
    std::vector<std::optional<std::string>> values;
    values.push_back(DispatchQueue::getSpecific(key));
    b.sync([&] { values.push_back(DispatchQueue::getSpecific(key)); });
    values.push_back(DispatchQueue::getSpecific(key));  // back on a
    values.push_back(DispatchQueue::getSpecific(otherKey));
    return values;
  });
  EXPECT_EQ(seen, (std::vector<std::optional<std::string>>{"on a", "on b", "on a", std::nullopt}));
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

TEST(DispatchQueueMain, RunsOnlyOnTheMainThreadWhileItsRunLoopRuns) {
  const auto mainThread = std::this_thread::get_id();
  std::atomic<int> ran{0};
  std::atomic<int> offMain{0};
  DispatchSemaphore posted;
  std::thread poster([&] {
    for (int i = 0; i < 1000; ++i) {
      DispatchQueue::main().async([&] {
        if (std::this_thread::get_id() != mainThread) offMain.fetch_add(1);
        ran.fetch_add(1);
      });
    }
    posted.signal();
  });
  posted.wait();
  poster.join();
  EXPECT_EQ(ran.load(), 0) << "main-queue work ran without the main run loop";
  EXPECT_TRUE(waitFor([&] { return ran.load() == 1000; }));
  EXPECT_EQ(offMain.load(), 0);
}

TEST(DispatchQueueMain, SyncFromAnotherThreadRunsBetweenMainQueueItems) {
  std::vector<int> order;  // main-queue work only
  std::atomic<bool> done{false};
  DispatchQueue::main().async([&] { order.push_back(1); });
  std::thread other([&] {
    DispatchQueue::main().sync([&] { order.push_back(2); });
    DispatchQueue::main().async([&] {
      order.push_back(3);
      done = true;
    });
  });
  EXPECT_TRUE(waitFor([&] { return done.load(); }));
  other.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(DispatchQueuePool, HigherClassesOfServiceAreServedFirst) {
  // Keep every worker busy (spinning, not blocking, so the pool does not
  // grow), queue low then high work, then let the workers go. Every worker
  // alive counts: workers added while earlier work blocked stay for a second
  // and would take low work the moment it is queued.
  std::atomic<bool> release{false};
  std::atomic<int> busy{0};
  int workers = 0;
  for (int submitted = 0; busy.load() < (workers = detail::poolWorkerCount());) {
    for (; submitted < workers; ++submitted) {
      DispatchQueue::global(QoS::userInteractive).async([&] {
        busy.fetch_add(1);
        while (!release.load()) std::this_thread::yield();
      });
    }
    ASSERT_TRUE(
        waitFor([&] { return busy.load() >= submitted || detail::poolWorkerCount() < submitted; }));
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
  for (int i = 0; i < perClass; ++i)
    DispatchQueue::global(QoS::background).async(record(QoS::background));
  for (int i = 0; i < perClass; ++i)
    DispatchQueue::global(QoS::userInitiated).async(record(QoS::userInitiated));
  release = true;
  ASSERT_TRUE(waitFor([&] { return done.load() == 2 * perClass; }));
  // Every worker may be about to start one low item while the last high
  // items are taken, so allow as many low items among the first half.
  int lowInFirstHalf = 0;
  for (int i = 0; i < perClass; ++i)
    lowInFirstHalf += order[static_cast<std::size_t>(i)] == QoS::background;
  EXPECT_LE(lowInFirstHalf, workers);
}

TEST(DispatchQueuePool, GrowsWhileWorkersBlockSoThatQueuedWorkStillRuns) {
  // More items than workers, each waiting for all of them to have started:
  // only a pool that adds workers while others block gets them all going.
  // Enough items that workers take them in batches: a worker that blocks
  // must hand back the items it holds but has not started.
  const int items = std::max(detail::poolTargetSize() + 2, 24);
  DispatchSemaphore arrived;
  DispatchSemaphore release;
  DispatchGroup finished;
  for (int i = 0; i < items; ++i) {
    finished.async(DispatchQueue::global(), [&] {
      arrived.signal();
      release.wait();
    });
  }
  int started = 0;
  for (; started < items; ++started) {
    if (!arrived.wait(test::kEventTimeout)) break;
  }
  EXPECT_EQ(started, items);
  for (int i = 0; i < items; ++i) release.signal();
  EXPECT_TRUE(finished.wait(test::kEventTimeout));
}

TEST(DispatchQueuePool, WorkSubmittedByABusyWorkerStartsWhileItStaysBusy) {
  if (detail::poolTargetSize() < 2) GTEST_SKIP() << "needs a second worker";
  std::atomic<bool> ran{false};
  std::atomic<bool> startedElsewhere{false};
  DispatchSemaphore done;
  DispatchQueue::global().async([&] {
    // Lets the other workers finish spinning and go to sleep, so that only
    // the pool's check for untaken work can wake one (widens the window; the
    // assertion does not depend on it).
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    DispatchQueue::global().async([&] { ran = true; });
    // Stay busy without blocking: the submitting worker never gets to it.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ran.load() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    startedElsewhere = ran.load();
    done.signal();
  });
  done.wait();
  EXPECT_TRUE(startedElsewhere.load());
}

TEST(DispatchQueuePool, StressManyQueuesFromManyThreads) {
  const int threads = 4;
  const int queues = 8;
  const int perThread = test::scaled(20000);
  std::vector<DispatchQueue> serials;
  for (int q = 0; q < queues; ++q) serials.emplace_back("test.stress." + std::to_string(q));
  std::vector<long> perQueue(queues, 0);  // each touched only by its queue
  std::atomic<long> global{0};
  DispatchGroup group;
  test::runConcurrently(threads, [&](int t) {
    for (int i = 0; i < perThread; ++i) {
      const int q = (i + t) % queues;
      if (i % 3 == 0) {
        group.async(DispatchQueue::global(static_cast<QoS>(i % 5)),
                    [&] { global.fetch_add(1, std::memory_order_relaxed); });
      } else {
        group.async(serials[static_cast<std::size_t>(q)],
                    [&, q] { ++perQueue[static_cast<std::size_t>(q)]; });
      }
    }
  });
  ASSERT_TRUE(group.wait(test::kEventTimeout * 3));
  long serialTotal = 0;
  for (int q = 0; q < queues; ++q) {
    serialTotal += serials[static_cast<std::size_t>(q)].sync(
        [&] { return perQueue[static_cast<std::size_t>(q)]; });
  }
  long expectedGlobal = 0;
  for (int i = 0; i < perThread; ++i) expectedGlobal += i % 3 == 0;
  EXPECT_EQ(global.load(), expectedGlobal * threads);
  EXPECT_EQ(serialTotal, static_cast<long>(threads) * perThread - expectedGlobal * threads);
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

TEST(DispatchQueuePool, WorkerThreadsSayWhatTheyServe) {
  char buffer[32] = {};
  DispatchSemaphore done;
  DispatchQueue::global().async([&] {
    pthread_getname_np(pthread_self(), buffer, sizeof buffer);
    done.signal();
  });
  done.wait();
  EXPECT_EQ(std::string(buffer).rfind("mornik.pool.", 0), 0U) << buffer;
}

}  // namespace
}  // namespace mornik
