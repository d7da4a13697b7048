#include "mornik/platform/QtMainQueue.hpp"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/HostLoop.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/platform/GLibMainQueue.hpp"

#include "tests/support/Sanitizers.hpp"

namespace mornik {
namespace {

// A QCoreApplication per test: Qt's event loop, made and gone again.
class QtMainQueueTest : public testing::Test {
 protected:
  QtMainQueueTest() : app_(std::make_unique<QCoreApplication>(argc_, argv_.data())) {}

  // Runs app.exec() until `done` holds (checked every 10 ms); false
  // if it still does not after 20 s.
  static bool execUntil(const std::function<bool()>& done) {
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
      if (done()) QCoreApplication::quit();
    });
    QTimer::singleShot(20'000, [] { QCoreApplication::quit(); });
    poll.start(10);
    QCoreApplication::exec();
    return done();
  }

  int argc_ = 1;
  std::string name_ = "mornik_hostloop_qt_tests";
  std::vector<char*> argv_{name_.data(), nullptr};
  std::unique_ptr<QCoreApplication> app_;
};

// The dispatcher the environment asks for is the one the tests run on, so
// that both are covered.
TEST_F(QtMainQueueTest, RunsOnTheDispatcherTheEnvironmentChose) {
  const std::string dispatcher = QAbstractEventDispatcher::instance()->metaObject()->className();
  const bool glib = std::getenv("QT_NO_GLIB") == nullptr;
  EXPECT_EQ(dispatcher.find("Glib") != std::string::npos, glib) << dispatcher;
}

// Items from another thread with delayed ones and a run-loop timer, in order
// on the main thread, with no run of our own loop; twice, attached anew.
TEST_F(QtMainQueueTest, QtLoopRunsItemsInOrderDelayedWorkAndTimers) {
  const int count = test::kUnderThreadSanitizer ? 10'000 : 100'000;
  for (int round = 0; round < 2; ++round) {
    auto attached = QtMainQueue::attach();
    ASSERT_TRUE(attached.isSuccess()) << attached.error().localizedDescription();
    std::vector<int> order;
    std::atomic<int> delayed{0};
    bool offMain = false;
    int ticks = 0;
    auto timer = RunLoopTimer::scheduled(0.005, false, [&](RunLoopTimer&) { ++ticks; });
    // Produced while the loop runs: it sleeps between bursts, and only the
    // descriptor wakes it.
    std::jthread producer([&] {
      for (int i = 0; i < count; ++i) {
        DispatchQueue::main().async([&, i] {
          offMain = offMain || !isMainThread();
          order.push_back(i);
        });
        if (i % 1000 == 0) {
          DispatchQueue::main().asyncAfter(0.001, [&] { ++delayed; });
          std::this_thread::yield();  // widens the gaps the loop sleeps in
        }
      }
    });
    const int expectedDelayed = (count + 999) / 1000;
    ASSERT_TRUE(execUntil([&] {
      return static_cast<int>(order.size()) == count && delayed == expectedDelayed && ticks == 1;
    })) << order.size()
        << " items, " << delayed << " delayed, " << ticks << " ticks";
    EXPECT_FALSE(offMain);
    for (int i = 0; i < count; ++i) ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
  }
}

// GLib's source and Qt's notifier watch the one descriptor (on Qt's GLib
// dispatcher, in one context): every item still runs exactly once.
TEST_F(QtMainQueueTest, AttachedToGLibAndQtAtOnceRunsEachItemOnce) {
  auto qt = QtMainQueue::attach();
  auto glib = GLibMainQueue::attach();
  ASSERT_TRUE(qt.isSuccess() && glib.isSuccess());
  const int count = 10'000;
  std::vector<int> runs(count, 0);
  std::atomic<int> done{0};
  std::thread([&] {
    for (int i = 0; i < count; ++i) {
      DispatchQueue::main().async([&, i] {
        ++runs[static_cast<std::size_t>(i)];
        ++done;
      });
    }
  }).join();
  ASSERT_TRUE(execUntil([&] { return done == count; }));
  EXPECT_EQ(std::count(runs.begin(), runs.end(), 1), count);
}

// A modal loop inside main-queue work fires timers, runs no main-queue item
// and does not spin; the items run once the work returns.
TEST_F(QtMainQueueTest, ModalLoopInsideMainQueueWorkRunsNoItemsAndStaysQuiet) {
  auto attached = QtMainQueue::attach();
  ASSERT_TRUE(attached.isSuccess());
  std::vector<std::string> events;
  int modalIterations = 0;
  DispatchQueue::main().async([&] {
    events.emplace_back("modal");
    DispatchQueue::main().async([&] { events.emplace_back("after"); });
    bool fired = false;
    auto timer = RunLoopTimer::scheduled(0.05, false, [&](RunLoopTimer&) { fired = true; });
    std::thread([] { DispatchQueue::main().async([] {}); }).join();
    while (!fired && modalIterations < 1000) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
      ++modalIterations;
    }
    events.emplace_back("closed");
  });
  ASSERT_TRUE(execUntil([&] { return events.size() == 3; }));
  EXPECT_EQ(events, (std::vector<std::string>{"modal", "closed", "after"}));
  // A descriptor left readable would make every iteration return at once.
  EXPECT_LT(modalIterations, 30);
}

// Work queued while no notifier is attached waits for the next one.
TEST_F(QtMainQueueTest, WorkQueuedWhileDetachedRunsAtTheNextAttach) {
  bool ran = false;
  { auto attached = QtMainQueue::attach(); }
  EXPECT_FALSE(QtMainQueue::isAttached());
  DispatchQueue::main().async([&] { ran = true; });
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
  auto attached = QtMainQueue::attach();
  ASSERT_TRUE(attached.isSuccess());
  EXPECT_TRUE(execUntil([&] { return ran; }));
}

TEST(QtMainQueue, AttachIsAnErrorWithoutAnApplicationOrOffTheMainThread) {
  EXPECT_EQ(QtMainQueue::attach().error().localizedDescription(),
            "QtMainQueue: no QCoreApplication yet");
  std::string offMain;
  std::thread([&] { offMain = QtMainQueue::attach().error().localizedDescription(); }).join();
  EXPECT_EQ(offMain, "QtMainQueue: attach on the main thread");
}

}  // namespace
}  // namespace mornik
