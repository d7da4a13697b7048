// Locks and locked values against std::mutex, in one run.
//
// The program starts one idle thread before measuring: every process that
// uses the library has worker threads, and glibc's mutex skips its atomic
// instructions while a process has only one thread, which would make the
// anchor measure something no user of ours ever runs.
#include <condition_variable>
#include <mutex>
#include <thread>

#include <benchmark/benchmark.h>

#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

#include "bench/support/Goals.hpp"

namespace {

constexpr int kRepetitions = 5;

void BM_UnfairLock_Uncontended(benchmark::State& state) {
  mornik::UnfairLock lock;
  int value = 0;
  for (auto _ : state) {
    lock.lock();
    benchmark::DoNotOptimize(++value);
    lock.unlock();
  }
}
BENCHMARK(BM_UnfairLock_Uncontended)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

void BM_StdMutex_Uncontended(benchmark::State& state) {
  std::mutex lock;
  int value = 0;
  for (auto _ : state) {
    lock.lock();
    benchmark::DoNotOptimize(++value);
    lock.unlock();
  }
}
BENCHMARK(BM_StdMutex_Uncontended)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// A std::mutex-guarded int, the anchor for LockedVar<int>.
class MutexInt {
 public:
  int read() {
    std::lock_guard guard(mutex_);
    return value_;
  }
  void increment() {
    std::lock_guard guard(mutex_);
    ++value_;
  }

 private:
  std::mutex mutex_;
  int value_ = 0;
};

void BM_LockedVar_Read(benchmark::State& state) {
  mornik::LockedVar<int> value(1);
  for (auto _ : state) benchmark::DoNotOptimize(value.read());
}
BENCHMARK(BM_LockedVar_Read)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

void BM_MutexInt_Read(benchmark::State& state) {
  MutexInt value;
  for (auto _ : state) benchmark::DoNotOptimize(value.read());
}
BENCHMARK(BM_MutexInt_Read)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

void BM_LockedVar_Access(benchmark::State& state) {
  mornik::LockedVar<int> value(0);
  for (auto _ : state) value.access([](int& n) { ++n; });
  benchmark::DoNotOptimize(value.read());
}
BENCHMARK(BM_LockedVar_Access)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

void BM_MutexInt_Increment(benchmark::State& state) {
  MutexInt value;
  for (auto _ : state) value.increment();
  benchmark::DoNotOptimize(value.read());
}
BENCHMARK(BM_MutexInt_Increment)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);

// Two threads incrementing one shared value: throughput in increments/s.
mornik::LockedVar<long> gContendedLockedVar(0);
std::mutex gContendedMutex;
long gContendedInt = 0;

void BM_LockedVar_Contended(benchmark::State& state) {
  for (auto _ : state) gContendedLockedVar.access([](long& n) { ++n; });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LockedVar_Contended)
    ->Threads(2)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

void BM_StdMutex_Contended(benchmark::State& state) {
  for (auto _ : state) {
    std::lock_guard guard(gContendedMutex);
    ++gContendedInt;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StdMutex_Contended)
    ->Threads(2)
    ->UseRealTime()
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true);

// An idle thread for the whole run (see the top of the file).
struct IdleThread {
  IdleThread()
      : thread([this] {
          std::unique_lock guard(mutex);
          stopped.wait(guard, [this] { return stop; });
        }) {}
  ~IdleThread() {
    {
      std::lock_guard guard(mutex);
      stop = true;
    }
    stopped.notify_one();
    thread.join();
  }
  std::mutex mutex;
  std::condition_variable stopped;
  bool stop = false;
  std::thread thread;
};
IdleThread gIdleThread;

const bool kGoals = [] {
  mornik::bench::ratioGoal("unfair_lock_uncontended_vs_std_mutex", "BM_UnfairLock_Uncontended",
                           "BM_StdMutex_Uncontended", mornik::bench::kRealTime, "<=", 1.0);
  mornik::bench::ratioGoal("lockedvar_read_vs_mutex_int", "BM_LockedVar_Read", "BM_MutexInt_Read",
                           mornik::bench::kRealTime, "<=", 1.1);
  mornik::bench::ratioGoal("lockedvar_access_vs_mutex_int", "BM_LockedVar_Access",
                           "BM_MutexInt_Increment", mornik::bench::kRealTime, "<=", 1.1);
  mornik::bench::ratioGoal("lockedvar_contended_2_threads_throughput_vs_std_mutex",
                           "BM_LockedVar_Contended/real_time/threads:2",
                           "BM_StdMutex_Contended/real_time/threads:2", "items_per_second",
                           ">=", 0.9);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
