// The main queue drained by host loops: a worker posts items to the main
// queue and the main thread drains them, through our own run loop, through
// GLibMainQueue on a GLib main loop (and, when built with Qt, through
// QtMainQueue on QCoreApplication's loop), against the host's own way of
// posting one callback per item (g_idle_add, a queued invokeMethod).

#include <chrono>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <glib.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/platform/GLibMainQueue.hpp"

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

#ifdef MORNIK_BENCH_QT
#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>

#include "mornik/platform/QtMainQueue.hpp"
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr long kItems = 1'000'000;
constexpr int kRounds = 7;

double nsPerItem(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kItems;
}

// Posts kItems main-queue items from a worker; the last calls `finish`.
template <class Finish>
std::thread postMainQueueItems(long& count, Finish finish) {
  return std::thread([&count, finish] {
    const auto main = mornik::DispatchQueue::main();
    for (long i = 0; i < kItems; ++i) {
      main.async([&count, finish] {
        if (++count == kItems) finish();
      });
    }
  });
}

std::vector<double> drainRunLoop() {
  long count = 0;
  const auto start = Clock::now();
  std::thread poster = postMainQueueItems(count, [] { mornik::RunLoop::main().stop(); });
  mornik::RunLoop::main().run();
  const double ns = nsPerItem(start);
  poster.join();
  return {ns};
}

std::vector<double> drainGLibSource() {
  auto source = mornik::GLibMainQueue::attach();
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  long count = 0;
  const auto start = Clock::now();
  std::thread poster = postMainQueueItems(count, [loop] { g_main_loop_quit(loop); });
  g_main_loop_run(loop);
  const double ns = nsPerItem(start);
  poster.join();
  g_main_loop_unref(loop);
  return {ns};
}

struct IdleState {
  long count = 0;
  GMainLoop* loop = nullptr;
};

std::vector<double> drainGIdle() {
  IdleState state{0, g_main_loop_new(nullptr, FALSE)};
  const auto start = Clock::now();
  std::thread poster([&state] {
    for (long i = 0; i < kItems; ++i) {
      g_idle_add(
          [](gpointer data) -> gboolean {
            auto* idle = static_cast<IdleState*>(data);
            if (++idle->count == kItems) g_main_loop_quit(idle->loop);
            return G_SOURCE_REMOVE;
          },
          &state);
    }
  });
  g_main_loop_run(state.loop);
  const double ns = nsPerItem(start);
  poster.join();
  g_main_loop_unref(state.loop);
  return {ns};
}

void BM_GLibMainQueue_Drain(benchmark::State& state) {
  mornik::bench::runInterleaved(
      state, {"ns_per_item"},
      {{"glib_source", drainGLibSource}, {"run_loop", drainRunLoop}, {"g_idle_add", drainGIdle}},
      kRounds);
}
BENCHMARK(BM_GLibMainQueue_Drain)->Iterations(1)->Unit(benchmark::kSecond);

#ifdef MORNIK_BENCH_QT
std::vector<double> drainQtNotifier() {
  auto attached = mornik::QtMainQueue::attach();
  long count = 0;
  const auto start = Clock::now();
  std::thread poster = postMainQueueItems(count, [] { QCoreApplication::quit(); });
  QCoreApplication::exec();
  const double ns = nsPerItem(start);
  poster.join();
  return {ns};
}

std::vector<double> drainQtInvoke() {
  long count = 0;
  QObject receiver;
  const auto start = Clock::now();
  std::thread poster([&] {
    for (long i = 0; i < kItems; ++i) {
      QMetaObject::invokeMethod(
          &receiver,
          [&count] {
            if (++count == kItems) QCoreApplication::quit();
          },
          Qt::QueuedConnection);
    }
  });
  QCoreApplication::exec();
  const double ns = nsPerItem(start);
  poster.join();
  return {ns};
}

void BM_QtMainQueue_Drain(benchmark::State& state) {
  int argc = 1;
  char name[] = "mornik_bench_hostloop";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  mornik::bench::runInterleaved(
      state, {"ns_per_item"},
      {{"qt_notifier", drainQtNotifier}, {"run_loop", drainRunLoop}, {"qt_invoke", drainQtInvoke}},
      kRounds);
}
BENCHMARK(BM_QtMainQueue_Drain)->Iterations(1)->Unit(benchmark::kSecond);
#endif

// A drain rate of at least 0.8x our own loop's is a cost per item of at most
// 1.25x; twice the host's own rate, at most half its cost.
[[maybe_unused]] const bool kGoals = [] {
  using mornik::bench::counterGoal;
  counterGoal("glib_main_queue_drain_cost_vs_run_loop", "BM_GLibMainQueue_Drain",
              "ns_per_item_ratio_vs_run_loop", "<=", 1.25);
  counterGoal("glib_main_queue_drain_cost_vs_g_idle_add", "BM_GLibMainQueue_Drain",
              "ns_per_item_ratio_vs_g_idle_add", "<=", 0.5);
#ifdef MORNIK_BENCH_QT
  counterGoal("qt_main_queue_drain_cost_vs_run_loop", "BM_QtMainQueue_Drain",
              "ns_per_item_ratio_vs_run_loop", "<=", 1.25);
  counterGoal("qt_main_queue_drain_cost_vs_invoke_method", "BM_QtMainQueue_Drain",
              "ns_per_item_ratio_vs_qt_invoke", "<=", 0.5);
#endif
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
