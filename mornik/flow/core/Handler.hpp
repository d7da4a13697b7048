#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/PoolAllocator.hpp"

namespace mornik::detail {

// What every handler shares, whatever its value type: its queue and the
// bookkeeping that lets a delivery hold the handler "weakly" without a
// reference count that both the submitting and the running thread write for
// every delivery.
//
// When the last owner lets go (release()), the handler is marked released:
// deliveries that run from then on do nothing. Its block is destroyed at
// once if no delivery of it can still be queued or running, else right
// after them. Two ways to know:
// - counted: a count of deliveries in flight plus one for the owners; the
//   last of the owners and the deliveries to finish destroys the handler.
//   Used on concurrent queues, and for handlers called at most once or twice
//   (a future's), where the count costs nothing worth saving.
// - flagged (a repeating handler on a serial queue, a signal's): the first
//   call sets a flag and later calls write nothing. If the flag is set at
//   release, one more item on the queue destroys the handler: it runs after
//   every delivery submitted before it.
class HandlerCore {
 public:
  HandlerCore(const HandlerCore&) = delete;
  HandlerCore& operator=(const HandlerCore&) = delete;

  const DispatchQueue& queue() const noexcept { return queue_; }

 protected:
  HandlerCore(DispatchQueue queue, bool repeating)
      : queue_(std::move(queue)), counted_(!repeating || !queue_.isSerial()) {}
  virtual ~HandlerCore() = default;

  // Before submitting a delivery; returns whether the delivery must call
  // noteDelivered() when it ends (counted handlers).
  bool noteSubmitted() const noexcept {
    if (counted_) {
      inFlight_.fetch_add(1, std::memory_order_relaxed);
      return true;
    }
    // Written once; afterwards only read, so the line stays shared.
    if (!called_.load(std::memory_order_relaxed)) called_.store(true, std::memory_order_relaxed);
    return false;
  }
  // Inside a delivery: whether the block may run.
  bool isLive() const noexcept { return !released_.load(std::memory_order_acquire); }
  // Last step of a counted delivery; the handler must not be touched
  // afterwards.
  void noteDelivered() const noexcept {
    if (inFlight_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      const_cast<HandlerCore*>(this)->destroy();
    }
  }
  // The last owner let go.
  void release() noexcept;

 private:
  // Runs the destructor and frees the memory.
  virtual void destroy() noexcept = 0;

  const DispatchQueue queue_;
  const bool counted_;
  std::atomic<bool> released_{false};
  mutable std::atomic<bool> called_{false};        // flagged
  mutable std::atomic<std::int64_t> inFlight_{1};  // counted: deliveries + the owners
};

}  // namespace mornik::detail

namespace mornik::Flow {

template <class F>
using BlockRef = std::add_lvalue_reference_t<std::decay_t<F>>;

// A block, stored by value and called as an lvalue, that takes arguments A.
template <class F, class... A>
concept BlockTaking = std::invocable<BlockRef<F>, A...>;

// One registered callback of a future or a signal: a dispatch queue and a
// block taking one value.
//
//   auto handler = Flow::Handler<int>::make(DispatchQueue::main(),
//                                           [](const int& n) { show(n); });
//   handler->call(42);  // show(42) runs later, on the main queue
//
// `call(value)` submits one task to the handler's queue and returns; the block
// never runs inside `call`. The task holds a copy of the value and holds the
// handler only weakly: if every owner of the handler has let go by the time
// the task runs, nothing happens. That is how releasing a future or a signal
// (the owner of its handlers) silences deliveries already queued.
//
// Lifetime: when the last std::shared_ptr to the handler goes, its deliveries
// that have not started do nothing. The block, and what it captures, is
// destroyed once no delivery of it is queued or running: at once, or by the
// last such delivery. A handler made with make() and called on a serial
// queue (a signal's) is instead destroyed by one more item on that queue,
// which runs after the deliveries submitted before it; that way a delivery
// costs no reference counting.
//
// Ownership: the handler owns its block; its owner (a future or signal) owns
// the handler.
// Thread safety: call() may be called from any thread, also concurrently;
// on a concurrent queue the block may then run concurrently with itself.
// Callbacks: on queue(), asynchronously.
template <class T>
class Future;

template <class V>
class Handler : public mornik::detail::HandlerCore {
 public:
  template <class F>
  requires BlockTaking<F, const V&>
  static std::shared_ptr<Handler> make(DispatchQueue queue, F&& block);

  // Submits the block with a copy of `value` to queue().
  void call(const V& value) const { submit(V(value)); }
  void call(V&& value) const { submit(std::move(value)); }

 protected:
  struct Passkey {
    explicit Passkey() = default;
  };
  Handler(DispatchQueue queue, bool repeating) : HandlerCore(std::move(queue), repeating) {}
  ~Handler() override = default;

 private:
  template <class T>
  friend class Future;

  // A handler its owner calls at most once (a future's).
  template <class F>
  static std::shared_ptr<Handler> makeOneShot(DispatchQueue queue, F&& block);

  virtual void run(const V& value) const = 0;

  void submit(V value) const {
    if (noteSubmitted()) {
      queue().async([self = this, value = std::move(value)] {
        if (self->isLive()) self->run(value);
        self->noteDelivered();
      });
    } else {
      queue().async([self = this, value = std::move(value)] {
        if (self->isLive()) self->run(value);
      });
    }
  }
};

// A callback without a value (the success of a Future<void>, a change
// notification).
template <>
class Handler<void> : public mornik::detail::HandlerCore {
 public:
  template <class F>
  requires BlockTaking<F>
  static std::shared_ptr<Handler> make(DispatchQueue queue, F&& block);

  // Submits the block to queue().
  void call() const {
    if (noteSubmitted()) {
      queue().async([self = this] {
        if (self->isLive()) self->run();
        self->noteDelivered();
      });
    } else {
      queue().async([self = this] {
        if (self->isLive()) self->run();
      });
    }
  }

 protected:
  struct Passkey {
    explicit Passkey() = default;
  };
  Handler(DispatchQueue queue, bool repeating) : HandlerCore(std::move(queue), repeating) {}
  ~Handler() override = default;

 private:
  template <class T>
  friend class Future;

  template <class F>
  static std::shared_ptr<Handler> makeOneShot(DispatchQueue queue, F&& block);

  virtual void run() const = 0;
};

}  // namespace mornik::Flow

namespace mornik::detail {

// The handler with its block stored in the same allocation.
template <class V, class F>
class HandlerOf final : public Flow::Handler<V> {
 public:
  HandlerOf(typename Flow::Handler<V>::Passkey /*unused*/, DispatchQueue queue, bool repeating,
            F block)
      : Flow::Handler<V>(std::move(queue), repeating), block_(std::move(block)) {}

  // Creates a handler owned by the returned pointer.
  template <class G>
  static std::shared_ptr<Flow::Handler<V>> create(typename Flow::Handler<V>::Passkey key,
                                                  DispatchQueue queue, bool repeating, G&& block) {
    PoolAllocator<HandlerOf> allocator;
    HandlerOf* handler = allocator.allocate(1);
    try {
      new (handler) HandlerOf(key, std::move(queue), repeating, F(std::forward<G>(block)));
    } catch (...) {
      allocator.deallocate(handler, 1);
      throw;
    }
    return std::shared_ptr<Flow::Handler<V>>(
        handler, [](Flow::Handler<V>* owned) { static_cast<HandlerOf*>(owned)->release(); },
        PoolAllocator<Flow::Handler<V>>());
  }

 private:
  void run(const V& value) const override { std::invoke(block_, value); }
  void destroy() noexcept override {
    this->~HandlerOf();
    PoolAllocator<HandlerOf>().deallocate(this, 1);
  }

  mutable F block_;  // called like a std::function: a mutable block may change its state
};

template <class F>
class HandlerOf<void, F> final : public Flow::Handler<void> {
 public:
  HandlerOf(Flow::Handler<void>::Passkey /*unused*/, DispatchQueue queue, bool repeating, F block)
      : Flow::Handler<void>(std::move(queue), repeating), block_(std::move(block)) {}

  template <class G>
  static std::shared_ptr<Flow::Handler<void>> create(Flow::Handler<void>::Passkey key,
                                                     DispatchQueue queue, bool repeating,
                                                     G&& block) {
    PoolAllocator<HandlerOf> allocator;
    HandlerOf* handler = allocator.allocate(1);
    try {
      new (handler) HandlerOf(key, std::move(queue), repeating, F(std::forward<G>(block)));
    } catch (...) {
      allocator.deallocate(handler, 1);
      throw;
    }
    return std::shared_ptr<Flow::Handler<void>>(
        handler, [](Flow::Handler<void>* owned) { static_cast<HandlerOf*>(owned)->release(); },
        PoolAllocator<Flow::Handler<void>>());
  }

 private:
  void run() const override { std::invoke(block_); }
  void destroy() noexcept override {
    this->~HandlerOf();
    PoolAllocator<HandlerOf>().deallocate(this, 1);
  }

  mutable F block_;
};

}  // namespace mornik::detail

namespace mornik::Flow {

template <class V>
template <class F>
requires BlockTaking<F, const V&> std::shared_ptr<Handler<V>> Handler<V>::make(DispatchQueue queue,
                                                                               F&& block) {
  return detail::HandlerOf<V, std::decay_t<F>>::create(Passkey(), std::move(queue), true,
                                                       std::forward<F>(block));
}

template <class V>
template <class F>
std::shared_ptr<Handler<V>> Handler<V>::makeOneShot(DispatchQueue queue, F&& block) {
  return detail::HandlerOf<V, std::decay_t<F>>::create(Passkey(), std::move(queue), false,
                                                       std::forward<F>(block));
}

template <class F>
requires BlockTaking<F> std::shared_ptr<Handler<void>> Handler<void>::make(DispatchQueue queue,
                                                                           F&& block) {
  return detail::HandlerOf<void, std::decay_t<F>>::create(Passkey(), std::move(queue), true,
                                                          std::forward<F>(block));
}

template <class F>
std::shared_ptr<Handler<void>> Handler<void>::makeOneShot(DispatchQueue queue, F&& block) {
  return detail::HandlerOf<void, std::decay_t<F>>::create(Passkey(), std::move(queue), false,
                                                          std::forward<F>(block));
}

// A block receiving the value of an update or a success: `block(const V&)`,
// or `block()` when V is void.
template <class F, class V>
concept ValueBlock = (std::is_void_v<V> && BlockTaking<F>) ||
                     (!std::is_void_v<V> && BlockTaking<F, const V&>);

// The same with a context object first, taken as `C&` or as
// `const std::shared_ptr<C>&`.
template <class F, class C, class V>
concept ContextValueBlock =
    (std::is_void_v<V> && (BlockTaking<F, C&> || BlockTaking<F, const std::shared_ptr<C>&>)) ||
    (!std::is_void_v<V> &&
     (BlockTaking<F, C&, const V&> || BlockTaking<F, const std::shared_ptr<C>&, const V&>));

}  // namespace mornik::Flow

namespace mornik::detail {

// A block for a weakly held context: runs `block(context, value...)` if the
// context still exists, else nothing. The block takes the context as `C&`
// or as `const std::shared_ptr<C>&`.
template <class C, class F, class... V>
void callWithContext(const std::weak_ptr<C>& weak, F& block, const V&... value) {
  const std::shared_ptr<C> context = weak.lock();
  if (!context) return;
  if constexpr (std::invocable<F&, C&, const V&...>) {
    std::invoke(block, *context, value...);
  } else {
    std::invoke(block, context, value...);
  }
}

}  // namespace mornik::detail
