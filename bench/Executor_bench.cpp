// The executor against oneTBB and Boost.Asio, in one run.
//
// Anchors:
// - oneTBB: task_group for concurrent work; a serial queue emulated with a
//   concurrent_queue plus an atomic pending count, drained through
//   task_arena::enqueue; two worker threads (global_control).
// - Boost.Asio: an io_context run by two threads, strands for serial queues,
//   post, and io_context::run on the main thread for the main-loop drain.
//
// Floors, in the same runs: a bare single-producer single-consumer ring
// between two threads (Boost.Lockfree spsc_queue) for the serial queue's end
// to end rate, and two threads bouncing one cache line for the hop.
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
#include <boost/lockfree/spsc_queue.hpp>
#include <sys/resource.h>
#include <tbb/concurrent_queue.h>
#include <tbb/global_control.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/concurrency/RunLoop.hpp"

#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"

namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

constexpr long kItems = 1'000'000;
// Interleaved rounds per scenario (goals use the median round).
constexpr int kRounds = 7;
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

// One run: {enqueue ns per item, drain ns per item}.
template <class Queue>
std::vector<double> serialPrefilledOnce() {
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
  const double enqueueNs = nsSince(start);
  const auto drainStart = Clock::now();
  open.store(true, std::memory_order_release);
  finished.wait();
  const double drainNs = nsSince(drainStart);
  return {enqueueNs / kItems, drainNs / kItems};
}

void BM_Serial_Prefilled(benchmark::State& state) {
  mornik::bench::runInterleaved(state, {"enqueue_ns_per_item", "drain_ns_per_item"},
                                {{"ours", serialPrefilledOnce<OursSerial>},
                                 {"tbb", serialPrefilledOnce<TbbSerial>},
                                 {"asio_strand", serialPrefilledOnce<AsioSerial>}},
                                kRounds);
}

// ---- Serial queue, end to end: one producer while the consumer runs ----

template <class Queue>
std::vector<double> serialEndToEndOnce() {
  auto queue = std::make_unique<Queue>();
  long count = 0;
  mornik::DispatchSemaphore finished;
  const auto start = Clock::now();
  for (long i = 0; i < kItems; ++i) {
    queue->async([&] {
      if (++count == kItems) finished.signal();
    });
  }
  finished.wait();
  return {nsSince(start) / kItems};
}

// The floor: the producer pushes into a bare ring that one consumer thread,
// already spinning, pops and counts; no work items, no scheduling.
std::vector<double> serialEndToEndOnceSpscRing() {
  auto ring =
      std::make_unique<boost::lockfree::spsc_queue<long, boost::lockfree::capacity<4096>>>();
  std::atomic<bool> started{false};
  std::thread consumer([&] {
    started.store(true);
    long count = 0;
    long value = 0;
    while (count < kItems) {
      if (ring->pop(value)) {
        ++count;
      } else {
        std::this_thread::yield();
      }
    }
    benchmark::DoNotOptimize(value);
  });
  while (!started.load()) std::this_thread::yield();
  const auto start = Clock::now();
  for (long i = 0; i < kItems; ++i) {
    while (!ring->push(i)) std::this_thread::yield();
  }
  consumer.join();
  return {nsSince(start) / kItems};
}

void BM_Serial_EndToEnd(benchmark::State& state) {
  mornik::bench::runInterleaved(state, {"ns_per_item"},
                                {{"ours", serialEndToEndOnce<OursSerial>},
                                 {"tbb", serialEndToEndOnce<TbbSerial>},
                                 {"asio_strand", serialEndToEndOnce<AsioSerial>},
                                 {"spsc_ring", serialEndToEndOnceSpscRing}},
                                kRounds);
}

// ---- Concurrent throughput: many items, wait for all ----

std::vector<double> globalOnceOurs() {
  std::atomic<long> count{0};
  mornik::DispatchSemaphore finished;
  const auto queue = mornik::DispatchQueue::global();
  const auto start = Clock::now();
  for (long i = 0; i < kItems; ++i) {
    queue.async([&] {
      if (count.fetch_add(1, std::memory_order_relaxed) + 1 == kItems) finished.signal();
    });
  }
  finished.wait();
  return {nsSince(start) / kItems};
}

std::vector<double> globalOnceTbbTaskGroup() {
  std::atomic<long> count{0};
  const auto start = Clock::now();
  tbbArena().execute([&] {
    tbb::task_group group;
    for (long i = 0; i < kItems; ++i) {
      group.run([&] { count.fetch_add(1, std::memory_order_relaxed); });
    }
    group.wait();
  });
  benchmark::DoNotOptimize(count.load());
  return {nsSince(start) / kItems};
}

void BM_Global_Throughput(benchmark::State& state) {
  mornik::bench::runInterleaved(
      state, {"ns_per_item"},
      {{"ours", globalOnceOurs}, {"tbb_task_group", globalOnceTbbTaskGroup}}, kRounds);
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
std::vector<double> pingPongOnce() {
  auto game = std::make_unique<PingPong<Queue>>();
  const auto start = Clock::now();
  game->toA();
  game->finished.wait();
  return {nsSince(start) / (2.0 * kRoundTrips)};
}

// The floor: two threads hand one cache line back and forth, each spinning
// until it is its turn (a yield now and then, so that on a loaded machine a
// preempted partner gets its core back).
std::vector<double> pingPongOnceCacheLine() {
  struct alignas(64) Line {
    std::atomic<long> turn{0};
  };
  const auto line = std::make_unique<Line>();
  const auto awaitTurn = [&line](long value) {
    for (int spins = 1; line->turn.load(std::memory_order_acquire) != value; ++spins) {
      if (spins % 64 == 0) std::this_thread::yield();
    }
  };
  std::thread partner([&] {
    for (long hop = 1; hop < 2 * kRoundTrips; hop += 2) {
      awaitTurn(hop);
      line->turn.store(hop + 1, std::memory_order_release);
    }
  });
  const auto start = Clock::now();
  for (long hop = 0; hop < 2 * kRoundTrips; hop += 2) {
    line->turn.store(hop + 1, std::memory_order_release);
    awaitTurn(hop + 2);
  }
  const double ns = nsSince(start);
  partner.join();
  return {ns / (2.0 * kRoundTrips)};
}

void BM_PingPong(benchmark::State& state) {
  mornik::bench::runInterleaved(state, {"ns_per_hop"},
                                {{"ours", pingPongOnce<OursSerial>},
                                 {"asio_strand", pingPongOnce<AsioSerial>},
                                 {"tbb", pingPongOnce<TbbSerial>},
                                 {"cache_line", pingPongOnceCacheLine}},
                                kRounds);
}

// ---- Main run loop drain: a worker posts, the main thread drains ----

std::vector<double> mainLoopOnceOurs() {
  long count = 0;  // main-queue items only
  const auto start = Clock::now();
  std::thread poster([&] {
    const auto main = mornik::DispatchQueue::main();
    for (long i = 0; i < kItems; ++i) {
      main.async([&] {
        if (++count == kItems) mornik::RunLoop::main().stop();
      });
    }
  });
  mornik::RunLoop::main().run();
  const double ns = nsSince(start);
  poster.join();
  return {ns / kItems};
}

std::vector<double> mainLoopOnceAsio() {
  asio::io_context context;
  auto guard = asio::make_work_guard(context);
  long count = 0;
  const auto start = Clock::now();
  std::thread poster([&] {
    for (long i = 0; i < kItems; ++i) {
      asio::post(context, [&] {
        if (++count == kItems) context.stop();
      });
    }
  });
  context.run();
  const double ns = nsSince(start);
  poster.join();
  return {ns / kItems};
}

void BM_MainLoop_Drain(benchmark::State& state) {
  mornik::bench::runInterleaved(state, {"ns_per_item"},
                                {{"ours", mainLoopOnceOurs}, {"asio_io_context", mainLoopOnceAsio}},
                                kRounds);
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
BENCHMARK(BM_Serial_Prefilled)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_Serial_EndToEnd)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_Global_Throughput)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_PingPong)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_MainLoop_Drain)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_AsyncAfter_Lateness_Ours)->Iterations(1)->Unit(benchmark::kMillisecond);

// Ratios are cost of ours / cost of the anchor, medians over interleaved
// rounds: a throughput goal "ours >= k x anchor" is "ratio <= 1/k".
const bool kGoals = [] {
  using mornik::bench::counterGoal;
  counterGoal("serial_prefilled_enqueue_cost_vs_tbb", "BM_Serial_Prefilled",
              "enqueue_ns_per_item_ratio_vs_tbb", "<=", 1.0);
  counterGoal("serial_prefilled_drain_cost_vs_tbb", "BM_Serial_Prefilled",
              "drain_ns_per_item_ratio_vs_tbb", "<=", 1.0);
  counterGoal("serial_end_to_end_cost_vs_tbb", "BM_Serial_EndToEnd", "ns_per_item_ratio_vs_tbb",
              "<=", 1.0);
  counterGoal("serial_end_to_end_cost_vs_asio_strand", "BM_Serial_EndToEnd",
              "ns_per_item_ratio_vs_asio_strand", "<=", 0.5);
  counterGoal("global_throughput_cost_vs_tbb_task_group", "BM_Global_Throughput",
              "ns_per_item_ratio_vs_tbb_task_group", "<=", 1.0);
  counterGoal("pingpong_hop_latency_vs_asio_strand", "BM_PingPong",
              "ns_per_hop_ratio_vs_asio_strand", "<=", 1.0);
  // Against the floors.
  counterGoal("serial_end_to_end_cost_vs_spsc_ring_floor", "BM_Serial_EndToEnd",
              "ns_per_item_ratio_vs_spsc_ring", "<=", 2.0);
  counterGoal("pingpong_hop_latency_vs_cache_line_floor", "BM_PingPong",
              "ns_per_hop_ratio_vs_cache_line", "<=", 1.5);
  counterGoal("asyncafter_lateness_median_us", "BM_AsyncAfter_Lateness_Ours", "lateness_median_us",
              "<=", 100);
  counterGoal("asyncafter_lateness_p99_us", "BM_AsyncAfter_Lateness_Ours", "lateness_p99_us",
              "<=", 2000);
  counterGoal("main_loop_drain_cost_vs_asio_io_context", "BM_MainLoop_Drain",
              "ns_per_item_ratio_vs_asio_io_context", "<=", 0.5);
  counterGoal("idle_cpu_percent_of_one_core", "BM_Idle_CpuCost_Ours", "cpu_percent_of_core", "<",
              0.1);
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
