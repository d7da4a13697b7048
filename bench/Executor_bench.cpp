// The executor against oneTBB and Boost.Asio, in one run.
//
// Anchors:
// - oneTBB: task_group for concurrent work; a serial queue emulated with a
//   concurrent_queue plus an atomic pending count, drained through
//   task_arena::enqueue; two worker threads (global_control).
// - Boost.Asio: an io_context run by two threads, strands for serial queues,
//   post, and io_context::run on the main thread for the main-loop drain.
//
// Every scenario is one template run with each implementation's adapter, so
// they do the same work; items are trivial (one counter step) so that the
// executor's own cost is what is measured.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <sys/resource.h>
#include <tbb/concurrent_queue.h>
#include <tbb/global_control.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/concurrency/RunLoop.hpp"

#include "bench/support/Goals.hpp"

namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

constexpr long kItems = 1'000'000;
constexpr int kRepetitions = 5;
constexpr int kAnchorThreads = 2;

double nsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

// ---- Adapters: a serial queue of each kind ----

struct OursSerial {
  mornik::DispatchQueue queue{"bench.serial"};
  template <class F>
  void async(F&& f) {
    queue.async(std::forward<F>(f));
  }
};

// Two TBB workers for every TBB anchor (the external thread is the third).
tbb::task_arena& tbbArena() {
  static tbb::global_control control(tbb::global_control::max_allowed_parallelism,
                                     kAnchorThreads + 1);
  static tbb::task_arena arena(kAnchorThreads, 0);
  return arena;
}

class TbbSerial {
 public:
  template <class F>
  void async(F&& f) {
    state_->items.push(std::function<void()>(std::forward<F>(f)));
    if (state_->pending.fetch_add(1, std::memory_order_acq_rel) == 0) {
      // The drain holds the state: it may outlive this handle.
      tbbArena().enqueue([state = state_] { drain(*state); });
    }
  }

 private:
  struct State {
    tbb::concurrent_queue<std::function<void()>> items;
    std::atomic<long> pending{0};
  };

  static void drain(State& state) {
    do {
      std::function<void()> item;
      while (!state.items.try_pop(item)) {
      }
      item();
    } while (state.pending.fetch_sub(1, std::memory_order_acq_rel) != 1);
  }

  std::shared_ptr<State> state_ = std::make_shared<State>();
};

class AsioPool {
 public:
  AsioPool() : guard_(asio::make_work_guard(context_)) {
    for (int i = 0; i < kAnchorThreads; ++i) threads_.emplace_back([this] { context_.run(); });
  }
  ~AsioPool() {
    guard_.reset();
    context_.stop();
    for (auto& thread : threads_) thread.join();
  }
  asio::io_context& context() { return context_; }

 private:
  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> guard_;
  std::vector<std::thread> threads_;
};

AsioPool& asioPool() {
  static AsioPool pool;
  return pool;
}

struct AsioSerial {
  asio::strand<asio::io_context::executor_type> strand = asio::make_strand(asioPool().context());
  template <class F>
  void async(F&& f) {
    asio::post(strand, std::forward<F>(f));
  }
};

// ---- Serial queue, prefilled: enqueue while blocked, then drain ----

template <class Queue>
void serialPrefilled(benchmark::State& state) {
  double enqueueNs = 0;
  double drainNs = 0;
  for (auto _ : state) {
    auto queue = std::make_unique<Queue>();
    std::atomic<bool> open{false};
    std::atomic<bool> blocking{false};
    queue->async([&] {
      blocking = true;
      while (!open.load(std::memory_order_acquire)) std::this_thread::yield();
    });
    while (!blocking.load()) std::this_thread::yield();
    long count = 0;  // touched only by queue items, one at a time
    mornik::DispatchSemaphore finished;
    const auto start = Clock::now();
    for (long i = 0; i < kItems; ++i) {
      queue->async([&] {
        if (++count == kItems) finished.signal();
      });
    }
    enqueueNs += nsSince(start);
    const auto drainStart = Clock::now();
    open.store(true, std::memory_order_release);
    finished.wait();
    drainNs += nsSince(drainStart);
  }
  const double items = static_cast<double>(kItems) * static_cast<double>(state.iterations());
  state.counters["enqueue_ns_per_item"] = enqueueNs / items;
  state.counters["drain_ns_per_item"] = drainNs / items;
}

void BM_Serial_Prefilled_Ours(benchmark::State& s) { serialPrefilled<OursSerial>(s); }
void BM_Serial_Prefilled_Tbb(benchmark::State& s) { serialPrefilled<TbbSerial>(s); }
void BM_Serial_Prefilled_AsioStrand(benchmark::State& s) { serialPrefilled<AsioSerial>(s); }

// ---- Serial queue, end to end: one producer while the consumer runs ----

template <class Queue>
void serialEndToEnd(benchmark::State& state) {
  for (auto _ : state) {
    auto queue = std::make_unique<Queue>();
    long count = 0;
    mornik::DispatchSemaphore finished;
    for (long i = 0; i < kItems; ++i) {
      queue->async([&] {
        if (++count == kItems) finished.signal();
      });
    }
    finished.wait();
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}

void BM_Serial_EndToEnd_Ours(benchmark::State& s) { serialEndToEnd<OursSerial>(s); }
void BM_Serial_EndToEnd_Tbb(benchmark::State& s) { serialEndToEnd<TbbSerial>(s); }
void BM_Serial_EndToEnd_AsioStrand(benchmark::State& s) { serialEndToEnd<AsioSerial>(s); }

// ---- Concurrent throughput: many items, wait for all ----

void BM_Global_Throughput_Ours(benchmark::State& state) {
  for (auto _ : state) {
    std::atomic<long> count{0};
    mornik::DispatchSemaphore finished;
    const auto queue = mornik::DispatchQueue::global();
    for (long i = 0; i < kItems; ++i) {
      queue.async([&] {
        if (count.fetch_add(1, std::memory_order_relaxed) + 1 == kItems) finished.signal();
      });
    }
    finished.wait();
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}

void BM_Global_Throughput_TbbTaskGroup(benchmark::State& state) {
  for (auto _ : state) {
    std::atomic<long> count{0};
    tbbArena().execute([&] {
      tbb::task_group group;
      for (long i = 0; i < kItems; ++i) {
        group.run([&] { count.fetch_add(1, std::memory_order_relaxed); });
      }
      group.wait();
    });
    benchmark::DoNotOptimize(count.load());
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}

// ---- Ping-pong between two serial queues ----

constexpr long kRoundTrips = 100'000;

template <class Queue>
struct PingPong {
  Queue a;
  Queue b;
  long hops = 0;  // touched by one item at a time (each hop follows the last)
  mornik::DispatchSemaphore finished;

  // Each hop moves to the other queue; the hop that completes the game stops.
  void toA() {
    a.async([this] {
      if (hop()) toB();
    });
  }
  void toB() {
    b.async([this] {
      if (hop()) toA();
    });
  }
  bool hop() {
    if (++hops < 2 * kRoundTrips) return true;
    finished.signal();
    return false;
  }
};

template <class Queue>
void pingPong(benchmark::State& state) {
  double totalNs = 0;
  for (auto _ : state) {
    auto game = std::make_unique<PingPong<Queue>>();
    const auto start = Clock::now();
    game->toA();
    game->finished.wait();
    totalNs += nsSince(start);
  }
  state.counters["ns_per_hop"] =
      totalNs / (2.0 * kRoundTrips * static_cast<double>(state.iterations()));
}

void BM_PingPong_Ours(benchmark::State& s) { pingPong<OursSerial>(s); }
void BM_PingPong_AsioStrand(benchmark::State& s) { pingPong<AsioSerial>(s); }
void BM_PingPong_Tbb(benchmark::State& s) { pingPong<TbbSerial>(s); }

// ---- Main run loop drain: a worker posts, the main thread drains ----

void BM_MainLoop_Drain_Ours(benchmark::State& state) {
  for (auto _ : state) {
    long count = 0;  // main-queue items only
    std::thread poster([&] {
      const auto main = mornik::DispatchQueue::main();
      for (long i = 0; i < kItems; ++i) {
        main.async([&] {
          if (++count == kItems) mornik::RunLoop::main().stop();
        });
      }
    });
    mornik::RunLoop::main().run();
    poster.join();
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}

void BM_MainLoop_Drain_AsioIoContext(benchmark::State& state) {
  for (auto _ : state) {
    asio::io_context context;
    auto guard = asio::make_work_guard(context);
    long count = 0;
    std::thread poster([&] {
      for (long i = 0; i < kItems; ++i) {
        asio::post(context, [&] {
          if (++count == kItems) context.stop();
        });
      }
    });
    context.run();
    poster.join();
  }
  state.SetItemsProcessed(state.iterations() * kItems);
}

// ---- asyncAfter lateness: one item outstanding at a time ----

void BM_AsyncAfter_Lateness_Ours(benchmark::State& state) {
  std::vector<double> lateUs;
  for (auto _ : state) {
    lateUs.clear();
    const mornik::DispatchQueue queue("bench.timers");
    for (int i = 0; i < 200; ++i) {
      const double delay = 0.001 * (1 + i % 10);
      mornik::DispatchSemaphore ran;
      Clock::time_point firedAt;
      const auto submitted = Clock::now();
      queue.asyncAfter(delay, [&] {
        firedAt = Clock::now();
        ran.signal();
      });
      ran.wait();
      const double late =
          std::chrono::duration<double, std::micro>(firedAt - submitted).count() - delay * 1e6;
      lateUs.push_back(late);
    }
  }
  std::sort(lateUs.begin(), lateUs.end());
  state.counters["lateness_median_us"] = lateUs[lateUs.size() / 2];
  state.counters["lateness_p99_us"] = lateUs[lateUs.size() * 99 / 100];
  state.counters["lateness_min_us"] = lateUs.front();
}

// ---- Idle cost: everything started, nothing queued, for 10 s ----

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_Idle_CpuCost_Ours(benchmark::State& state) {
  // Bring up workers, the timer thread and the main run loop's state first.
  mornik::DispatchSemaphore warm;
  mornik::DispatchQueue("bench.idle").asyncAfter(0.001, [&] { warm.signal(); });
  warm.wait();
  double percent = 0;
  for (auto _ : state) {
    const double idleSeconds = 10.0;
    const double cpuBefore = processCpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    percent = (processCpuSeconds() - cpuBefore) / wall * 100.0;
  }
  state.counters["cpu_percent_of_core"] = percent;
}

// The idle measurement runs first, before any anchor starts threads of its own.
BENCHMARK(BM_Idle_CpuCost_Ours)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_Serial_Prefilled_Ours)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Serial_Prefilled_Tbb)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Serial_Prefilled_AsioStrand)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Serial_EndToEnd_Ours)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Serial_EndToEnd_Tbb)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Serial_EndToEnd_AsioStrand)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Global_Throughput_Ours)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Global_Throughput_TbbTaskGroup)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PingPong_Ours)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PingPong_AsioStrand)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PingPong_Tbb)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MainLoop_Drain_Ours)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MainLoop_Drain_AsioIoContext)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AsyncAfter_Lateness_Ours)->Iterations(1)->Unit(benchmark::kMillisecond);

const bool kGoals = [] {
  using mornik::bench::counterGoal;
  using mornik::bench::ratioGoal;
  ratioGoal("serial_prefilled_enqueue_vs_tbb", "BM_Serial_Prefilled_Ours",
            "BM_Serial_Prefilled_Tbb", "enqueue_ns_per_item", "<=", 1.0);
  ratioGoal("serial_prefilled_drain_vs_tbb", "BM_Serial_Prefilled_Ours", "BM_Serial_Prefilled_Tbb",
            "drain_ns_per_item", "<=", 1.0);
  ratioGoal("serial_end_to_end_throughput_vs_tbb", "BM_Serial_EndToEnd_Ours/real_time",
            "BM_Serial_EndToEnd_Tbb/real_time", "items_per_second", ">=", 1.0);
  ratioGoal("serial_end_to_end_throughput_vs_asio_strand", "BM_Serial_EndToEnd_Ours/real_time",
            "BM_Serial_EndToEnd_AsioStrand/real_time", "items_per_second", ">=", 2.0);
  ratioGoal("global_throughput_vs_tbb_task_group", "BM_Global_Throughput_Ours/real_time",
            "BM_Global_Throughput_TbbTaskGroup/real_time", "items_per_second", ">=", 1.0);
  ratioGoal("pingpong_hop_latency_vs_asio_strand", "BM_PingPong_Ours/real_time",
            "BM_PingPong_AsioStrand/real_time", "ns_per_hop", "<=", 1.0);
  counterGoal("asyncafter_lateness_median_us", "BM_AsyncAfter_Lateness_Ours", "lateness_median_us",
              "<=", 100);
  counterGoal("asyncafter_lateness_p99_us", "BM_AsyncAfter_Lateness_Ours", "lateness_p99_us",
              "<=", 2000);
  ratioGoal("main_loop_drain_throughput_vs_asio_io_context", "BM_MainLoop_Drain_Ours/real_time",
            "BM_MainLoop_Drain_AsioIoContext/real_time", "items_per_second", ">=", 2.0);
  counterGoal("idle_cpu_percent_of_one_core", "BM_Idle_CpuCost_Ours", "cpu_percent_of_core", "<",
              0.1);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
