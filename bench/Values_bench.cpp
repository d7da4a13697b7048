// Streamed properties and throttled signals.
//
// Streamed write + read: one assignment and one read of a Streamed<int>
// against its anchor, the same work done by hand on a signal: one update()
// and one currentValue(). Both signals have no subscribers, so the figures
// compare the property's own overhead rather than the cost of deliveries.
//
// Throttle under a burst: a source signal on a serial queue is updated a
// million times a second for two seconds (1000 updates back to back at the
// start of every millisecond, the thread sleeping in between), into
// throttle(0.1, sendLast). Reported: how many values the destination
// delivered in all, whether the last one delivered is the last one sent, and
// the CPU time of the whole process (every thread: the sender's update
// calls, the arrivals on the source queue, timers, deliveries, and idle
// workers) per update, from the first update until the source queue has run
// every arrival. Three runs: the worst delivery count and last value, the
// median CPU time.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/pool/Streamed.hpp"
#include "mornik/flow/signal/Signal.hpp"
#include "mornik/flow/signal/Throttle.hpp"

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using mornik::DispatchQueue;
using mornik::Streamed;
using mornik::Flow::AfterThrottling;
using mornik::Flow::Signal;

double nsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

// ---- Streamed write + read against signal update + currentValue ----

constexpr int kWriteReads = 2'000'000;
constexpr int kWriteReadRounds = 9;

std::vector<double> streamedWriteReadOnce() {
  Streamed<int> property(0, DispatchQueue("bench.streamed"));
  long sum = 0;
  const auto start = Clock::now();
  for (int i = 0; i < kWriteReads; ++i) {
    property = i;
    sum += property.get();
  }
  const double ns = nsSince(start);
  benchmark::DoNotOptimize(sum);
  return {ns / kWriteReads};
}

std::vector<double> signalUpdateReadOnce() {
  auto signal = Signal<int>::make(DispatchQueue("bench.streamed"), 0);
  long sum = 0;
  const auto start = Clock::now();
  for (int i = 0; i < kWriteReads; ++i) {
    signal->update(i);
    sum += *signal->currentValue();
  }
  const double ns = nsSince(start);
  benchmark::DoNotOptimize(sum);
  return {ns / kWriteReads};
}

void BM_StreamedWriteRead(benchmark::State& state) {
  mornik::bench::runInterleaved(state, {"ns_per_write_read"},
                                {{"ours", streamedWriteReadOnce}, {"signal", signalUpdateReadOnce}},
                                kWriteReadRounds);
}

// ---- Throttle under a 1 MHz burst ----

constexpr int kBurstMilliseconds = 2000;
constexpr int kUpdatesPerMillisecond = 1000;
constexpr double kWindowSeconds = 0.1;

double processCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

struct Deliveries {
  std::atomic<int> count{0};
  std::atomic<int> last{0};
};

// Three runs: the most deliveries of any run, whether every run delivered
// its last value last, and the median CPU time per update.
void BM_ThrottleBurst(benchmark::State& state) {
  double deliveries = 0;
  double lastIsLastSent = 1;
  std::vector<double> cpuNsPerUpdate;
  for (auto _ : state) {
    const DispatchQueue sourceQueue("bench.throttle.source");
    auto source = Signal<int>::make(sourceQueue);
    auto seen = std::make_shared<Deliveries>();
    source->throttle(kWindowSeconds, AfterThrottling::sendLast)
        ->onUpdate(DispatchQueue("bench.throttle.sink"), [seen](int value) {
          seen->last.store(value, std::memory_order_relaxed);
          seen->count.fetch_add(1, std::memory_order_release);
        });

    int sent = 0;
    const double cpuBefore = processCpuNs();
    const auto start = Clock::now();
    for (int ms = 1; ms <= kBurstMilliseconds; ++ms) {
      while (sent < ms * kUpdatesPerMillisecond) source->update(++sent);
      std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
    }
    sourceQueue.sync([] {});  // every arrival has run
    const double cpuAfter = processCpuNs();

    // The last held value comes with the end of the open window; the
    // series ends one empty window later.
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (seen->last.load(std::memory_order_relaxed) != sent && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(3 * kWindowSeconds));

    deliveries = std::max(deliveries, static_cast<double>(seen->count.load()));
    if (seen->last.load(std::memory_order_relaxed) != sent) lastIsLastSent = 0;
    cpuNsPerUpdate.push_back((cpuAfter - cpuBefore) / sent);
  }
  state.counters["deliveries"] = deliveries;
  state.counters["last_is_last_sent"] = lastIsLastSent;
  state.counters["cpu_ns_per_update"] = mornik::bench::median(cpuNsPerUpdate);
}

BENCHMARK(BM_StreamedWriteRead)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_ThrottleBurst)->Iterations(3)->Unit(benchmark::kSecond);

const bool kGoals = [] {
  using mornik::bench::counterGoal;
  counterGoal("streamed_write_read_cost_vs_signal_update_read", "BM_StreamedWriteRead",
              "ns_per_write_read_ratio_vs_signal", "<=", 1.2);
  counterGoal("throttle_burst_deliveries", "BM_ThrottleBurst", "deliveries", "<=", 21);
  counterGoal("throttle_burst_last_delivered_is_last_sent", "BM_ThrottleBurst", "last_is_last_sent",
              ">=", 1);
  counterGoal("throttle_burst_cpu_ns_per_update", "BM_ThrottleBurst", "cpu_ns_per_update",
              "<=", 500);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
