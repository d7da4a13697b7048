#pragma once

// The future round trip that the Flow benchmarks use as their anchor,
// pipelined: the benchmark thread creates a promise and registers one
// success handler on a serial queue; a second thread completes the promises
// in order as they appear; the handler runs on the serial queue. Completed
// promises are released by the completing thread once their handler ran.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/DispatchSemaphore.hpp"
#include "mornik/flow/future/Future.hpp"

namespace mornik::bench {

// Short runs, so that more interleaved rounds fit: each round then meets a
// more even load, and the median of the per-round ratios steadies.
inline constexpr long kRoundTrips = 250'000;

// What a handler does: count, and tell the completing thread how far the
// handlers got (handlers run one at a time, in completion order). Kept on
// cache lines of its own, away from the producer's data.
struct alignas(64) HandlerSide {
  long count = 0;  // touched by one handler at a time
  long target = kRoundTrips;
  std::atomic<long> handled{0};
  mornik::DispatchSemaphore finished;

  void run() {
    handled.store(++count, std::memory_order_release);
    if (count == target) finished.signal();
  }
};

// The count of handed-over items, on a cache line of its own.
struct alignas(64) Progress {
  std::atomic<long> produced{0};
};

// Impl: Promise (a shared_ptr-like handle), make(), onSuccess(promise,
// handler-side), complete(promise, value). Returns ns per round trip.
template <class Impl>
inline std::vector<double> futureRoundTripOnce() {
  {
    Impl impl;
    const auto sidePtr = std::make_unique<HandlerSide>();
    HandlerSide& side = *sidePtr;
    // Kept from round to round (empty between rounds), so that no round's
    // slots land in heap memory that another contender has just churned.
    static std::vector<typename Impl::Promise> slots(static_cast<std::size_t>(kRoundTrips));
    const auto progress = std::make_unique<Progress>();
    std::atomic<long>& produced = progress->produced;
    std::thread completer([&] {
      long released = 0;
      for (long next = 0; next < kRoundTrips;) {
        const long available = produced.load(std::memory_order_acquire);
        if (available == next) {
          std::this_thread::yield();
          continue;
        }
        for (; next < available; ++next) {
          impl.complete(slots[static_cast<std::size_t>(next)], static_cast<int>(next));
        }
        // Release the promises whose handler ran.
        const long handled = side.handled.load(std::memory_order_acquire);
        for (; released < handled; ++released) slots[static_cast<std::size_t>(released)] = {};
      }
      // A promise released before its handler ran would silence the handler
      // (a future owns its handlers): keep the rest until the end.
      while (side.handled.load(std::memory_order_acquire) < kRoundTrips) std::this_thread::yield();
      for (; released < kRoundTrips; ++released) slots[static_cast<std::size_t>(released)] = {};
    });
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < kRoundTrips; ++i) {
      typename Impl::Promise promise = impl.make();
      impl.onSuccess(promise, side);
      slots[static_cast<std::size_t>(i)] = std::move(promise);
      produced.store(i + 1, std::memory_order_release);
    }
    side.finished.wait();
    const double ns =
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
    completer.join();
    return {ns / kRoundTrips};
  }
}

struct OursRoundTrip {
  using Promise = std::shared_ptr<mornik::Flow::Future<int>>;
  mornik::DispatchQueue queue{"bench.handlers"};

  static Promise make() { return mornik::Flow::Future<int>::promise(); }
  void onSuccess(const Promise& promise, HandlerSide& side) const {
    promise->onSuccess(queue, [&side](int /*value*/) { side.run(); });
  }
  static void complete(const Promise& promise, int value) { promise->complete(value); }
};

}  // namespace mornik::bench
