// The blocking bridge from a task against the plain blocking round trip it
// is built on, in interleaved rounds on an idle executor.
//
// - ours: getSyncResultFromR on a task that returns a number (a pool of its
//   own, a future on the user-initiated queue running the task, the caller
//   blocked in wait());
// - future_round_trip: a future on the same queue whose block returns the
//   number, started by wait() on the calling thread: one submission, one
//   completion, one wake-up of the blocked caller.
#include <chrono>
#include <vector>

#include <benchmark/benchmark.h>

#include "mornik/concurrency/Task.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/flow/pool/RunBlocking.hpp"

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCalls = 20'000;

mornik::Task<int> answer(int n) { co_return n + 1; }

template <class F>
std::vector<double> perCallNs(F call) {
  long sum = 0;
  const auto start = Clock::now();
  for (int i = 0; i < kCalls; ++i) sum += call(i);
  const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  benchmark::DoNotOptimize(sum);
  return {ns / kCalls};
}

std::vector<double> bridgeOnce() {
  return perCallNs(
      [](int i) { return mornik::getSyncResultFromR([i] { return answer(i); }).value(); });
}

std::vector<double> futureRoundTripOnce() {
  const auto queue = mornik::DispatchQueue::global(mornik::QoS::userInitiated);
  return perCallNs([&queue](int i) {
    return mornik::Flow::Future<int>::make(queue, [i] { return mornik::Result<int>(i + 1); })
        ->wait()
        .value();
  });
}

void BM_GetSyncResultFromR(benchmark::State& state) {
  mornik::bench::runInterleaved(state, {"ns_per_call"},
                                {{"ours", bridgeOnce}, {"future_round_trip", futureRoundTripOnce}},
                                7);
}
BENCHMARK(BM_GetSyncResultFromR)->Iterations(1)->Unit(benchmark::kSecond);

const bool kGoals = [] {
  mornik::bench::counterGoal("get_sync_result_cost_vs_future_round_trip", "BM_GetSyncResultFromR",
                             "ns_per_call_ratio_vs_future_round_trip", "<=", 2.0);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
