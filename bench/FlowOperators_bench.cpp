// Future operators against the future core, in one run.
//
// Map chains: 25,000 chains of 10 `map` steps each. For every chain the
// benchmark thread makes a promise on a serial queue (the root), derives 10
// links with map (each on the source's queue, so the whole chain runs on
// that queue), registers one success handler on the last link (which starts
// the chain back to the root), completes the root and hands the root to a
// Flow::Pool, as an application's work is held (the links live through
// their roots). The clock stops
// when the last chain's handler ran; the cost per step is that time divided
// by chains x steps. Releasing the chains happens after the clock stops.
//
// Anchor: one future round trip, exactly as the core benchmark measures it
// (bench/support/FutureRoundTrip.hpp).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/flow/pool/Pool.hpp"

#include "bench/support/FutureRoundTrip.hpp"
#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using mornik::DispatchQueue;
using mornik::DispatchSemaphore;
using mornik::Flow::Future;

constexpr long kChains = 25'000;
constexpr int kSteps = 10;
constexpr int kRounds = 15;

double nsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

// ---- Ours: map chains ----

// Every chain delivers its root + 10: a wrong result is not measured.
void checkSum(long sum) {
  const long expected = kChains * (kChains - 1) / 2 + kChains * kSteps;
  if (sum != expected) {
    std::fprintf(stderr, "map chains delivered a sum of %ld, expected %ld\n", sum, expected);
    std::abort();
  }
}

struct alignas(64) ChainSide {
  long count = 0;  // touched by one handler at a time (serial queue)
  long sum = 0;
  DispatchSemaphore finished;

  void run(int value) {
    sum += value;
    if (++count == kChains) finished.signal();
  }
};

std::vector<double> mapChainOnce() {
  const DispatchQueue queue("bench.chain");
  const auto sidePtr = std::make_unique<ChainSide>();
  ChainSide& side = *sidePtr;
  auto pool = mornik::Flow::Pool::make(queue);
  const auto start = Clock::now();
  for (long i = 0; i < kChains; ++i) {
    auto root = Future<int>::promise(queue);
    std::shared_ptr<Future<int>> link = root;
    for (int step = 0; step < kSteps; ++step) link = link->map([](int v) { return v + 1; });
    link->onSuccess([&side](int value) { side.run(value); });
    root->complete(static_cast<int>(i));
    pool->retain(std::move(root));
  }
  side.finished.wait();
  const double ns = nsSince(start);
  checkSum(side.sum);
  pool.reset();
  return {ns / static_cast<double>(kChains * kSteps)};
}

// The same chains, but each root (with its chain) is released as soon as its
// chain delivered, the way the round trip releases its promises: a second
// thread completes the roots in order as they appear and releases those
// whose chain is done. Memory stays bounded, so the figure is free of the
// cost of growing the heap by some 400 bytes per step.
struct alignas(64) ReleasedChainSide {
  ReleasedChainSide() : done(static_cast<std::size_t>(kChains)) {}
  std::vector<std::atomic<bool>> done;  // chains may finish out of order
  long count = 0;                       // touched by one handler at a time (serial queue)
  long sum = 0;
  DispatchSemaphore finished;

  void run(long chain, int value) {
    done[static_cast<std::size_t>(chain)].store(true, std::memory_order_release);
    sum += value;
    if (++count == kChains) finished.signal();
  }
};

std::vector<double> releasedMapChainOnce() {
  const DispatchQueue queue("bench.chain");
  const auto sidePtr = std::make_unique<ReleasedChainSide>();
  ReleasedChainSide& side = *sidePtr;
  std::vector<std::shared_ptr<Future<int>>> slots(static_cast<std::size_t>(kChains));
  const auto progress = std::make_unique<mornik::bench::Progress>();
  std::atomic<long>& produced = progress->produced;
  std::thread completer([&] {
    std::deque<std::pair<long, std::shared_ptr<Future<int>>>> held;
    auto releaseDone = [&] {
      while (!held.empty() && side.done[static_cast<std::size_t>(held.front().first)].load(
                                  std::memory_order_acquire)) {
        held.pop_front();
      }
    };
    for (long next = 0; next < kChains;) {
      const long available = produced.load(std::memory_order_acquire);
      if (available == next) {
        std::this_thread::yield();
        continue;
      }
      for (; next < available; ++next) {
        auto root = std::move(slots[static_cast<std::size_t>(next)]);
        root->complete(static_cast<int>(next));
        held.emplace_back(next, std::move(root));
      }
      releaseDone();
    }
    while (!held.empty()) {
      releaseDone();
      std::this_thread::yield();
    }
  });
  const auto start = Clock::now();
  for (long i = 0; i < kChains; ++i) {
    auto root = Future<int>::promise(queue);
    std::shared_ptr<Future<int>> link = root;
    for (int step = 0; step < kSteps; ++step) link = link->map([](int v) { return v + 1; });
    link->onSuccess([&side, i](int value) { side.run(i, value); });
    slots[static_cast<std::size_t>(i)] = std::move(root);
    produced.store(i + 1, std::memory_order_release);
  }
  side.finished.wait();
  const double ns = nsSince(start);
  completer.join();
  checkSum(side.sum);
  return {ns / static_cast<double>(kChains * kSteps)};
}

void BM_FutureMapChain(benchmark::State& state) {
  mornik::bench::runInterleaved(
      state, {"ns"},
      {{"map_step", mapChainOnce},
       {"future_round_trip", mornik::bench::futureRoundTripOnce<mornik::bench::OursRoundTrip>}},
      kRounds);
}

void BM_FutureMapChainReleased(benchmark::State& state) {
  mornik::bench::runInterleaved(
      state, {"ns"},
      {{"map_step", releasedMapChainOnce},
       {"future_round_trip", mornik::bench::futureRoundTripOnce<mornik::bench::OursRoundTrip>}},
      kRounds);
}

BENCHMARK(BM_FutureMapChain)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_FutureMapChainReleased)->Iterations(1)->Unit(benchmark::kSecond);

// ns per map step / ns per round trip, median over interleaved rounds, with
// the roots held as a pool holds them. BM_FutureMapChainReleased reports the
// same ratio for chains released as they finish, without a goal.
const bool kGoals = [] {
  mornik::bench::counterGoal("future_map_step_cost_vs_round_trip", "BM_FutureMapChain",
                             "ns_ratio_vs_future_round_trip", "<=", 1.5);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
