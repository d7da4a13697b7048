#include "mornik/concurrency/HostLoop.hpp"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <glib.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/platform/GLibMainQueue.hpp"

#include "tests/support/Sanitizers.hpp"

#ifdef MORNIK_TEST_QT
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

#include "mornik/platform/QtMainQueue.hpp"
#endif

namespace mornik {
namespace {

// A host loop as the tests drive it: attach (null on failure) and one
// blocking iteration; a 100 ms heartbeat bounds every wait.
struct Host {
  std::string name;
  std::function<std::shared_ptr<void>()> attach;
  std::function<void()> iterate;
};

void PrintTo(const Host& host, std::ostream* out) { *out << host.name; }

template <class H>
std::shared_ptr<void> held(Result<H> attached) {
  return attached.isSuccess() ? std::make_shared<H>(std::move(attached).value()) : nullptr;
}

const std::vector<Host>& hosts() {
  static const std::vector<Host> all = [] {
    g_timeout_add(
        100, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
    std::vector<Host> made{{"GLib", [] { return held(GLibMainQueue::attach()); },
                            [] { g_main_context_iteration(nullptr, TRUE); }}};
#ifdef MORNIK_TEST_QT
    static int argc = 1;
    static char name[] = "mornik_hostloop_tests";
    static char* argv[] = {name, nullptr};
    auto* app = new QCoreApplication(argc, argv);
    (new QTimer(app))->start(100);
    made.push_back({"Qt", [] { return held(QtMainQueue::attach()); },
                    [] { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); }});
#endif
    return made;
  }();
  return all;
}

bool iterateUntil(const Host& host, const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done() && std::chrono::steady_clock::now() < until) host.iterate();
  return done();
}

class HostLoopTest : public testing::TestWithParam<Host> {};

// Items produced by another thread while the loop runs (it sleeps between
// bursts; only the descriptor wakes it), mixed with delayed ones, and a
// run-loop timer: all on the main thread, in order, with no run of our own
// loop. Twice, attached anew.
TEST_P(HostLoopTest, RunsItemsInOrderDelayedWorkAndTimers) {
  const int count = test::kUnderThreadSanitizer ? 10'000 : 100'000;
  for (int round = 0; round < 2; ++round) {
    auto attached = GetParam().attach();
    ASSERT_TRUE(attached);
    std::vector<int> order;
    std::atomic<int> delayed{0};
    bool offMain = false;
    int ticks = 0;
    auto timer = RunLoopTimer::scheduled(0.005, false, [&](RunLoopTimer&) { ++ticks; });
    std::jthread producer([&] {
      for (int i = 0; i < count; ++i) {
        DispatchQueue::main().async([&, i] {
          offMain = offMain || !isMainThread();
          order.push_back(i);
        });
        if (i % 1000 == 0) DispatchQueue::main().asyncAfter(0.001, [&] { ++delayed; });
      }
    });
    ASSERT_TRUE(iterateUntil(
        GetParam(),
        [&] { return std::ssize(order) == count && delayed == count / 1000 && ticks == 1; }))
        << order.size() << " items, " << delayed << " delayed, " << ticks << " ticks";
    EXPECT_FALSE(offMain);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  }
}

// A modal loop inside main-queue work fires timers, runs no main-queue item
// and does not spin (a readable descriptor would end every iteration at
// once); the items run once the work returns.
TEST_P(HostLoopTest, NestedLoopInMainQueueWorkRunsNoItemsAndStaysQuiet) {
  auto attached = GetParam().attach();
  ASSERT_TRUE(attached);
  std::vector<std::string> events;
  int nestedIterations = 0;
  DispatchQueue::main().async([&] {
    events.emplace_back("modal");
    DispatchQueue::main().async([&] { events.emplace_back("after"); });
    bool fired = false;
    auto timer = RunLoopTimer::scheduled(0.05, false, [&](RunLoopTimer&) { fired = true; });
    std::thread([] { DispatchQueue::main().async([] {}); }).join();
    for (; !fired && nestedIterations < 1000; ++nestedIterations) GetParam().iterate();
    events.emplace_back("closed");
  });
  ASSERT_TRUE(iterateUntil(GetParam(), [&] { return events.size() == 3; }));
  EXPECT_EQ(events, (std::vector<std::string>{"modal", "closed", "after"}));
  EXPECT_LT(nestedIterations, 20);
}

// Two handles share one watch; work queued while none is attached (the
// host stopped calling us, or its loop quit) waits for the next attach.
TEST_P(HostLoopTest, WorkQueuedWhileDetachedWaitsForTheNextAttach) {
  int ran = 0;
  {
    auto first = GetParam().attach();
    auto second = GetParam().attach();
    first.reset();
    DispatchQueue::main().async([&] { ++ran; });
    ASSERT_TRUE(iterateUntil(GetParam(), [&] { return ran == 1; }));
  }
  DispatchQueue::main().async([&] { ++ran; });
  for (int i = 0; i < 3; ++i) GetParam().iterate();
  EXPECT_EQ(ran, 1);
  auto again = GetParam().attach();
  EXPECT_TRUE(iterateUntil(GetParam(), [&] { return ran == 2; }));
}

INSTANTIATE_TEST_SUITE_P(Hosts, HostLoopTest, testing::ValuesIn(hosts()),
                         [](const auto& info) { return info.param.name; });

TEST(HostLoop, OffTheMainThreadIsAClearError) {
  std::vector<std::string> errors;
  std::thread([&] {
    errors.push_back(drainMainQueue().error().localizedDescription());
    errors.push_back(GLibMainQueue::attach().error().localizedDescription());
#ifdef MORNIK_TEST_QT
    errors.push_back(QtMainQueue::attach().error().localizedDescription());
#endif
  }).join();
  EXPECT_EQ(errors[0], "drainMainQueue: the main queue can only be drained on the main thread");
  EXPECT_EQ(errors[1], "GLibMainQueue: attach on the main thread");
  if (errors.size() > 2) {
    EXPECT_EQ(errors[2], "QtMainQueue: attach on the main thread");
  }
}

#ifdef MORNIK_TEST_QT
// On Qt's GLib dispatcher both watches sit in one context; on its own
// (QT_NO_GLIB=1) they are two loops' worth of watches: each item runs once.
TEST(HostLoop, GLibAndQtAttachedAtOnceRunEachItemOnce) {
  const std::string dispatcher = QAbstractEventDispatcher::instance()->metaObject()->className();
  EXPECT_EQ(dispatcher.find("Glib") == std::string::npos, std::getenv("QT_NO_GLIB") != nullptr);
  auto glib = hosts()[0].attach();
  auto qt = hosts()[1].attach();
  std::vector<int> runs(10'000, 0);
  std::jthread([&] {
    for (auto& each : runs) DispatchQueue::main().async([&] { ++each; });
  });
  EXPECT_TRUE(iterateUntil(hosts()[1], [&] { return runs.back() > 0; }));
  EXPECT_EQ(std::count(runs.begin(), runs.end(), 1), std::ssize(runs));
}
#endif

}  // namespace
}  // namespace mornik
