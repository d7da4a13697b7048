// ErrorPool::append from 4 threads, 1,000,000 errors in all: nothing may be
// lost, and the throughput is reported.
//
// - BM_ErrorPool_Append: the bare error pool (its list and its recent-error
//   signal, no handler), in rounds alternating with the anchor: a std::mutex
//   guarding a std::vector of errors and the latest error, which is the same
//   bookkeeping without publication.
// - BM_ErrorPool_Append_MainQueueFollower: the error pool with one handler
//   on the main queue, as a view model has; the benchmark thread runs the
//   main run loop until every error was delivered. Reports the appending
//   throughput and the end-to-end one.
//
// Each thread appends copies of its own error (code = thread index); the
// lost count is, per thread, the difference between the errors it appended
// and those of its code in the pool's list, plus any delivery missing.
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "mornik/base/Error.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/flow/pool/ErrorPool.hpp"

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 4;
constexpr long kErrors = 1'000'000;
constexpr long kPerThread = kErrors / kThreads;
constexpr int kRounds = 7;

double nsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

std::vector<mornik::Error> threadErrors() {
  std::vector<mornik::Error> errors;
  for (int t = 0; t < kThreads; ++t) errors.push_back(mornik::WTF("bench error", t));
  return errors;
}

// Runs `append(threadIndex)` kPerThread times on each of kThreads threads,
// released together; returns the nanoseconds from the release until the
// last thread finished.
template <class F>
double appendFromThreads(F&& append) {
  std::barrier start(kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (long i = 0; i < kPerThread; ++i) append(t);
    });
  }
  start.arrive_and_wait();
  const Clock::time_point began = Clock::now();
  for (auto& thread : threads) thread.join();
  return nsSince(began);
}

// Errors missing from `pool`'s list, counted per appending thread.
long lostErrors(const mornik::ErrorPool& pool) {
  std::vector<long> perThread(kThreads, 0);
  long foreign = 0;
  for (const mornik::Error& error : pool.errors()) {
    const auto code = error.code();
    if (code >= 0 && code < kThreads) {
      ++perThread[static_cast<std::size_t>(code)];
    } else {
      ++foreign;
    }
  }
  long lost = foreign;
  for (long count : perThread) lost += std::labs(kPerThread - count);
  return lost;
}

long worstLost = 0;

std::vector<double> errorPoolOnce() {
  const std::vector<mornik::Error> errors = threadErrors();
  auto pool = mornik::ErrorPool::make();
  const double ns = appendFromThreads([&](int t) { pool->append(errors[t]); });
  worstLost = std::max(worstLost, lostErrors(*pool));
  return {ns / kErrors};
}

std::vector<double> mutexVectorOnce() {
  const std::vector<mornik::Error> errors = threadErrors();
  std::mutex mutex;
  std::vector<mornik::Error> list;
  std::optional<mornik::Error> latest;
  const double ns = appendFromThreads([&](int t) {
    const std::lock_guard<std::mutex> guard(mutex);
    list.push_back(errors[t]);
    latest = errors[t];
  });
  benchmark::DoNotOptimize(list.data());
  return {ns / kErrors};
}

void BM_ErrorPool_Append(benchmark::State& state) {
  worstLost = 0;
  mornik::bench::runInterleaved(state, {"ns_per_error"},
                                {{"ours", errorPoolOnce}, {"mutex_vector", mutexVectorOnce}},
                                kRounds);
  state.counters["lost_errors"] = static_cast<double>(worstLost);
  state.counters["errors_per_second"] = 1e9 / state.counters["ours_ns_per_error"];
}

void BM_ErrorPool_Append_MainQueueFollower(benchmark::State& state) {
  std::vector<double> appendNs;
  std::vector<double> endToEndNs;
  long lost = 0;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      const std::vector<mornik::Error> errors = threadErrors();
      auto pool = mornik::ErrorPool::make();
      long delivered = 0;  // main queue only
      pool->recentError()->onUpdate([&delivered](const mornik::Error& /*unused*/) { ++delivered; });
      const Clock::time_point began = Clock::now();
      std::thread producers(
          [&] { appendNs.push_back(appendFromThreads([&](int t) { pool->append(errors[t]); })); });
      mornik::RunLoop::main().runUntil([&] { return delivered == kErrors; }, 120.0);
      endToEndNs.push_back(nsSince(began));
      producers.join();
      // Deliveries beyond the count would be duplicates: count those too.
      mornik::RunLoop::main().runFor(0.01);
      lost = std::max(lost, lostErrors(*pool) + std::labs(kErrors - delivered));
    }
  }
  const double appendMedian = mornik::bench::median(appendNs);
  const double endToEndMedian = mornik::bench::median(endToEndNs);
  state.counters["lost_errors"] = static_cast<double>(lost);
  state.counters["append_ns_per_error"] = appendMedian / kErrors;
  state.counters["append_errors_per_second"] = kErrors / (appendMedian / 1e9);
  state.counters["end_to_end_errors_per_second"] = kErrors / (endToEndMedian / 1e9);
}

BENCHMARK(BM_ErrorPool_Append)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_ErrorPool_Append_MainQueueFollower)->Iterations(1)->Unit(benchmark::kSecond);

const bool kGoals = [] {
  using mornik::bench::counterGoal;
  counterGoal("errorpool_append_4_threads_1m_lost_errors", "BM_ErrorPool_Append", "lost_errors",
              "<=", 0);
  counterGoal("errorpool_append_4_threads_1m_with_main_follower_lost_errors",
              "BM_ErrorPool_Append_MainQueueFollower", "lost_errors", "<=", 0);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
