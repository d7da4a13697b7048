// Thread-safe containers against a std::mutex-guarded std::unordered_map,
// two threads doing get-or-create on a shared table, in interleaved rounds.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/concurrency/SafeDictionary.hpp"

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kThreads = 2;
constexpr long kOperations = 1'000'000;  // in all, split between the threads
constexpr int kKeys = 1024;

// Runs `operation(key)` kOperations times over kThreads threads; ns per op.
template <class F>
double perOperationNs(F operation) {
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  const auto start = Clock::now();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      for (long i = t; i < kOperations; i += kThreads) {
        benchmark::DoNotOptimize(operation(static_cast<int>((i * 7) % kKeys)));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kOperations;
}

int factory(const int& key) { return key * 3; }

std::vector<double> safeDictionaryOnce() {
  mornik::SafeDictionary<int, int> table(factory);
  return {perOperationNs([&](int key) { return table.get(key); })};
}

std::vector<double> lockedVarItemOnce() {
  mornik::LockedVar<std::unordered_map<int, int>> table;
  return {perOperationNs([&](int key) { return table.item(key, factory); })};
}

std::vector<double> mutexMapOnce() {
  std::mutex lock;
  std::unordered_map<int, int> table;
  return {perOperationNs([&](int key) {
    std::lock_guard guard(lock);
    auto found = table.find(key);
    if (found == table.end()) found = table.emplace(key, factory(key)).first;
    return found->second;
  })};
}

void BM_SafeDictionary_GetOrCreate(benchmark::State& state) {
  mornik::bench::runInterleaved(state, {"ns_per_op"},
                                {{"ours", safeDictionaryOnce}, {"mutex_map", mutexMapOnce}}, 7);
}
BENCHMARK(BM_SafeDictionary_GetOrCreate)->Iterations(1)->Unit(benchmark::kSecond);

void BM_LockedVar_Item(benchmark::State& state) {
  mornik::bench::runInterleaved(state, {"ns_per_op"},
                                {{"ours", lockedVarItemOnce}, {"mutex_map", mutexMapOnce}}, 7);
}
BENCHMARK(BM_LockedVar_Item)->Iterations(1)->Unit(benchmark::kSecond);

// Throughput >= 0.9x the anchor means cost ratio <= 1/0.9.
const bool kGoals = [] {
  mornik::bench::counterGoal("safe_dictionary_get_or_create_cost_vs_mutex_map",
                             "BM_SafeDictionary_GetOrCreate", "ns_per_op_ratio_vs_mutex_map",
                             "<=", 1.0 / 0.9);
  mornik::bench::counterGoal("lockedvar_item_cost_vs_mutex_map", "BM_LockedVar_Item",
                             "ns_per_op_ratio_vs_mutex_map", "<=", 1.0 / 0.9);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
