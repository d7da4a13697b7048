// Futures and signals against anchors built from oneTBB, Boost.Asio and the
// standard library, in one run.
//
// Future round trip, pipelined: the benchmark thread creates a promise and
// registers one success handler on a serial queue; a second thread completes
// the promises in order as they appear; the handler runs on the serial
// queue. Completed promises are released by the completing thread once
// their handler ran. Anchors do the same work with:
// - oneTBB: a promise of a mutex, a result and a handler list, with handlers
//   run by a serial queue built from a concurrent_queue drained through
//   task_arena::enqueue (two TBB workers);
// - Boost.Asio: the same promise, handlers posted to a strand of an
//   io_context run by two threads;
// - std::promise / std::future: a third thread waits on each future in turn
//   and then runs the handler; it begins to wait before the promise
//   completes, as the other contenders' handlers are registered before;
// - the floor, a bare queue hop: no future at all; "completing" submits the
//   handler straight to the same serial queue with DispatchQueue::async.
//
// Also: wait() on a completed future, signal fan-out against plain
// DispatchQueue::async, and the heap held by a completed future.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <tbb/concurrent_queue.h>
#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/flow/signal/Signal.hpp"

#include "bench/support/FutureRoundTrip.hpp"
#include "bench/support/Goals.hpp"
#include "bench/support/Interleaved.hpp"
#include "bench/support/Memory.hpp"

namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;
using mornik::DispatchQueue;
using mornik::DispatchSemaphore;

constexpr int kRepetitions = 5;
// Round trips run on three threads or more per contender, more than the
// machine's two cores: a round's figure depends on how the scheduler shares
// them, and on other load. Many short rounds, each contender in turn, give
// the median ratio something to stand on.
constexpr int kRounds = 15;
// Fan-out rounds are short (tens of milliseconds): more of them steady the median.
constexpr int kFanOutRounds = 31;
constexpr int kAnchorThreads = 2;

double nsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

using mornik::bench::futureRoundTripOnce;
using mornik::bench::HandlerSide;
using mornik::bench::kRoundTrips;
using mornik::bench::OursRoundTrip;
using mornik::bench::Progress;

// A promise for the anchors: a result and a handler list under a mutex;
// each handler knows how to post itself to its serial construct.
struct AnchorPromise {
  std::mutex mutex;
  std::optional<int> result;
  std::vector<std::function<void(int)>> handlers;

  void add(std::function<void(int)> handler) {
    std::optional<int> ready;
    {
      const std::lock_guard<std::mutex> guard(mutex);
      if (!result) {
        handlers.push_back(std::move(handler));
        return;
      }
      ready = result;
    }
    handler(*ready);
  }
  void complete(int value) {
    std::vector<std::function<void(int)>> taken;
    {
      const std::lock_guard<std::mutex> guard(mutex);
      if (result) return;
      result = value;
      taken.swap(handlers);
    }
    for (auto& handler : taken) handler(value);
  }
};

// Two TBB workers (the external threads come on top).
tbb::task_arena& tbbArena() {
  static tbb::global_control control(tbb::global_control::max_allowed_parallelism,
                                     kAnchorThreads + 1);
  static tbb::task_arena arena(kAnchorThreads, 0);
  return arena;
}

// A serial queue from oneTBB parts: a concurrent_queue and a pending count;
// the submission that finds it idle enqueues a drain into the arena.
class TbbSerial {
 public:
  template <class F>
  void async(F&& f) const {
    state_->items.push(std::function<void()>(std::forward<F>(f)));
    if (state_->pending.fetch_add(1, std::memory_order_acq_rel) == 0) {
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

struct TbbRoundTrip {
  using Promise = std::shared_ptr<AnchorPromise>;
  TbbSerial serial;

  static Promise make() { return std::make_shared<AnchorPromise>(); }
  void onSuccess(const Promise& promise, HandlerSide& side) const {
    promise->add(
        [serial = serial, &side](int /*value*/) { serial.async([&side] { side.run(); }); });
  }
  static void complete(const Promise& promise, int value) { promise->complete(value); }
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
  AsioPool(const AsioPool&) = delete;
  AsioPool& operator=(const AsioPool&) = delete;
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

struct AsioRoundTrip {
  using Promise = std::shared_ptr<AnchorPromise>;
  asio::strand<asio::io_context::executor_type> strand = asio::make_strand(asioPool().context());

  static Promise make() { return std::make_shared<AnchorPromise>(); }
  void onSuccess(const Promise& promise, HandlerSide& side) const {
    promise->add(
        [strand = strand, &side](int /*value*/) { asio::post(strand, [&side] { side.run(); }); });
  }
  static void complete(const Promise& promise, int value) { promise->complete(value); }
};

// The floor: the round trip without a future, only the executor's hop from
// the completing thread to the handler's queue.
struct QueueHopRoundTrip {
  struct Promise {
    HandlerSide* side = nullptr;
  };
  mornik::DispatchQueue queue{"bench.handlers"};

  static Promise make() { return {}; }
  static void onSuccess(Promise& promise, HandlerSide& side) { promise.side = &side; }
  void complete(const Promise& promise, int /*value*/) const {
    queue.async([side = promise.side] { side->run(); });
  }
};

// std::promise / std::future: a future has no handlers, so a third thread
// stands in for one: it waits on the futures in order and runs the handler
// after each get(). As in the other contenders, the handler is in place
// before its promise completes: the completing thread completes a promise
// only once the waiter has begun to wait on it. (Without that rule the
// waiter sometimes arrives after the value and sometimes before, and the
// figure swings tenfold with the scheduler: 0.26 µs against 3 µs or more.)
// Each round trip then costs a wake-up, so fewer of them give the figure.
constexpr long kStdRoundTrips = kRoundTrips / 10;

struct alignas(64) Awaited {
  std::atomic<long> index{-1};
};

std::vector<double> stdFutureRoundTripOnce() {
  {
    const auto sidePtr = std::make_unique<HandlerSide>();
    HandlerSide& side = *sidePtr;
    side.target = kStdRoundTrips;
    std::vector<std::promise<int>> promises(static_cast<std::size_t>(kStdRoundTrips));
    std::vector<std::future<int>> futures(static_cast<std::size_t>(kStdRoundTrips));
    const auto progress = std::make_unique<Progress>();
    std::atomic<long>& produced = progress->produced;
    const auto awaitedPtr = std::make_unique<Awaited>();
    std::atomic<long>& awaited = awaitedPtr->index;
    auto follow = [&](auto&& step) {
      for (long next = 0; next < kStdRoundTrips;) {
        const long available = produced.load(std::memory_order_acquire);
        if (available == next) {
          std::this_thread::yield();
          continue;
        }
        for (; next < available; ++next) step(next);
      }
    };
    std::thread completer([&] {
      follow([&](long i) {
        while (awaited.load(std::memory_order_acquire) < i) std::this_thread::yield();
        auto& promise = promises[static_cast<std::size_t>(i)];
        promise.set_value(static_cast<int>(i));
        [[maybe_unused]] const auto released = std::move(promise);  // as the others do
      });
    });
    std::thread waiter([&] {
      follow([&](long i) {
        awaited.store(i, std::memory_order_release);
        benchmark::DoNotOptimize(futures[static_cast<std::size_t>(i)].get());
        side.run();
      });
    });
    const auto start = Clock::now();
    for (long i = 0; i < kStdRoundTrips; ++i) {
      std::promise<int> promise;
      futures[static_cast<std::size_t>(i)] = promise.get_future();
      promises[static_cast<std::size_t>(i)] = std::move(promise);
      produced.store(i + 1, std::memory_order_release);
    }
    side.finished.wait();
    const double ns = nsSince(start);
    completer.join();
    waiter.join();
    return {ns / kStdRoundTrips};
  }
}

void BM_FutureRoundTrip(benchmark::State& state) {
  mornik::bench::runInterleaved(state, {"ns_per_round_trip"},
                                {{"ours", futureRoundTripOnce<OursRoundTrip>},
                                 {"tbb", futureRoundTripOnce<TbbRoundTrip>},
                                 {"asio", futureRoundTripOnce<AsioRoundTrip>},
                                 {"std_future", stdFutureRoundTripOnce},
                                 {"queue_hop", futureRoundTripOnce<QueueHopRoundTrip>}},
                                kRounds);
}

// ---- wait() on a completed future ----

void BM_Wait_Completed_Ours(benchmark::State& state) {
  const auto future = mornik::Flow::Future<int>::succeeded(7);
  constexpr long kWaits = 10'000'000;
  double ns = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    for (long i = 0; i < kWaits; ++i) {
      mornik::Result<int> result = future->wait();
      benchmark::DoNotOptimize(result);
    }
    ns += nsSince(start);
  }
  state.counters["ns_per_wait"] = ns / (static_cast<double>(kWaits) * state.iterations());
}

// ---- Signal fan-out against the executor's own async ----

constexpr long kDeliveries = 1'000'000;

// What a delivery does, on cache lines of its own.
struct alignas(64) Counter {
  long count = 0;  // queue work only
  DispatchSemaphore finished;

  void step() {
    if (++count == kDeliveries) finished.signal();
  }
};

// A signal with `handlers` handlers on one serial queue, updated
// kDeliveries / handlers times from the benchmark thread; ns per delivered
// value, until every delivery ran.
std::vector<double> signalFanOutOnce(long handlers) {
  const long updates = kDeliveries / handlers;
  const DispatchQueue queue("bench.fanout");
  auto signal = mornik::Flow::Signal<int>::make(queue);
  const auto counter = std::make_unique<Counter>();
  for (long h = 0; h < handlers; ++h) {
    signal->onUpdate([counter = counter.get()](int /*value*/) { counter->step(); });
  }
  const auto start = Clock::now();
  for (long i = 0; i < updates; ++i) signal->update(static_cast<int>(i));
  counter->finished.wait();
  return {nsSince(start) / kDeliveries};
}

// The same number of items submitted with DispatchQueue::async to one
// serial queue, each carrying a value and doing what a handler does.
std::vector<double> executorAsyncOnce() {
  const DispatchQueue queue("bench.fanout");
  const auto counter = std::make_unique<Counter>();
  const auto start = Clock::now();
  for (long i = 0; i < kDeliveries; ++i) {
    const int value = static_cast<int>(i);
    queue.async([counter = counter.get(), value] {
      benchmark::DoNotOptimize(value);
      counter->step();
    });
  }
  counter->finished.wait();
  return {nsSince(start) / kDeliveries};
}

void BM_SignalFanOut(benchmark::State& state) {
  const long handlers = state.range(0);
  mornik::bench::runInterleaved(state, {"ns_per_delivery"},
                                {{"ours", [handlers] { return signalFanOutOnce(handlers); }},
                                 {"executor_async", executorAsyncOnce}},
                                kFanOutRounds);
}

// ---- Heap held by a completed future with one handler ----

// Many promises, each with one success handler, completed, and their
// handlers run; the growth of the memory in use, per future. It runs first, on
// a fresh thread, so that blocks come from new memory rather than from
// caches filled by earlier benchmarks. The delivery's work item, which the
// block pool keeps for reuse, is included.
void BM_Memory_CompletedFutureWithOneHandler(benchmark::State& state) {
  constexpr int kFutures = 100'000;
  const DispatchQueue queue("bench.memory");
  double bytes = 0;
  for (auto _ : state) {
    std::thread([&] {
      std::vector<std::shared_ptr<mornik::Flow::Future<int>>> futures;
      futures.reserve(kFutures);
      std::atomic<int> ran{0};
      const double before = mornik::bench::memoryInUse();
      for (int i = 0; i < kFutures; ++i) {
        auto future = mornik::Flow::Future<int>::promise();
        future->onSuccess(queue, [&ran](int /*value*/) { ran.fetch_add(1); });
        future->complete(i);
        futures.push_back(std::move(future));
      }
      while (ran.load() < kFutures) std::this_thread::yield();
      bytes = (mornik::bench::memoryInUse() - before) / kFutures;
    }).join();
  }
  state.counters["heap_bytes_per_future"] = bytes;
}

BENCHMARK(BM_Memory_CompletedFutureWithOneHandler)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FutureRoundTrip)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_Wait_Completed_Ours)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SignalFanOut)->Arg(1)->Arg(10)->Arg(100)->Iterations(1)->Unit(benchmark::kSecond);

// Ratios are cost of ours / cost of the anchor, medians over interleaved
// rounds: a throughput goal "ours >= k x anchor" is "ratio <= 1/k".
const bool kGoals = [] {
  using mornik::bench::counterGoal;
  counterGoal("completed_future_with_one_handler_heap_bytes",
              "BM_Memory_CompletedFutureWithOneHandler", "heap_bytes_per_future", "<=", 512);
  counterGoal("future_round_trip_cost_vs_tbb", "BM_FutureRoundTrip",
              "ns_per_round_trip_ratio_vs_tbb", "<=", 1.0);
  counterGoal("future_round_trip_cost_vs_asio", "BM_FutureRoundTrip",
              "ns_per_round_trip_ratio_vs_asio", "<=", 1.0 / 1.2);
  counterGoal("future_round_trip_cost_vs_std_future", "BM_FutureRoundTrip",
              "ns_per_round_trip_ratio_vs_std_future", "<=", 0.5);
  counterGoal("future_round_trip_cost_vs_queue_hop_floor", "BM_FutureRoundTrip",
              "ns_per_round_trip_ratio_vs_queue_hop", "<=", 3.0);
  counterGoal("wait_on_completed_future_ns", "BM_Wait_Completed_Ours", "ns_per_wait", "<=", 50);
  for (const char* handlers : {"1", "10", "100"}) {
    counterGoal(std::string("signal_fan_out_") + handlers + "_cost_vs_executor_async",
                std::string("BM_SignalFanOut/") + handlers,
                "ns_per_delivery_ratio_vs_executor_async", "<=", 1.2);
  }
  return true;
}();

}  // namespace

MORNIK_BENCH_MAIN()
