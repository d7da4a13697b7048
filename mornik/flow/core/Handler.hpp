#pragma once

#include <array>
#include <atomic>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/PoolAllocator.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// A test seam: when set, a counted handler's release() calls it right after
// recording the release, the point where a delivery on another thread may
// finish with the handler. Null in production.
inline std::atomic<void (*)()> handlerReleaseSeam{nullptr};

// What every handler shares, whatever its value type: its queue and the
// bookkeeping that lets a delivery hold the handler "weakly" without a
// reference count that both the submitting and the running thread write for
// every delivery.
//
// When the owner lets go (release()), the handler is marked released:
// deliveries that start from then on do nothing. Two ways to know when the
// block may go:
// - counted: one word counts the deliveries queued and the deliveries
//   running the block. The block, with what it captures, is destroyed at
//   release unless a delivery is running it, and then as soon as that
//   delivery returns; the small rest of the handler goes with the last
//   queued delivery. Used on concurrent queues, and for handlers called at
//   most once (a future's), whose one submission marks the count without a
//   locked step.
// - flagged (a repeating handler on a serial queue, a signal's): the first
//   call sets a flag and later calls write nothing. If the flag is set at
//   release, one more item on the queue destroys the handler: it runs after
//   every delivery submitted before it.
class HandlerCore {
 public:
  HandlerCore(const HandlerCore&) = delete;
  HandlerCore& operator=(const HandlerCore&) = delete;

  const DispatchQueue& queue() const noexcept { return queue_; }

  // The owner lets go; called once. See above for when the block goes.
  void release() noexcept;

 protected:
  HandlerCore(DispatchQueue queue, bool repeating, bool prefetches)
      : queue_(std::move(queue)),
        counted_(!repeating || !queue_.isSerial()),
        once_(!repeating),
        prefetches_(prefetches) {}
  virtual ~HandlerCore() = default;

  // Before submitting a delivery: where the block will write first, if it
  // says (see Handler), for the delivery to prefetch.
  const void* deliveryTarget() const noexcept { return prefetches_ ? blockTarget() : nullptr; }

  // A queued delivery, shortly before it runs: the handler, and the 64
  // bytes from the target (on one or two cache lines), fetched for writing.
  void prefetchDelivery(const void* target) const noexcept {
    __builtin_prefetch(this, 1, 3);
    if (target != nullptr) {
      __builtin_prefetch(target, 1, 3);
      __builtin_prefetch(static_cast<const unsigned char*>(target) + 63, 1, 3);
    }
  }

  // Before submitting a delivery; returns whether the delivery is counted
  // (then it calls beginCounted() and endCounted()).
  bool noteSubmitted() const noexcept {
    if (counted_) {
      if (once_) {
        // The one submission of a handler called at most once: nothing else
        // writes the state meanwhile (its owner, who alone may release it,
        // is alive and submitting), so no locked step is needed.
        state_.store(state_.load(std::memory_order_relaxed) + kQueued, std::memory_order_relaxed);
      } else {
        state_.fetch_add(kQueued, std::memory_order_relaxed);
      }
      return true;
    }
    // Written once; afterwards only read, so the line stays shared.
    if (!called_.load(std::memory_order_relaxed)) called_.store(true, std::memory_order_relaxed);
    return false;
  }
  // A counted delivery starts: whether it may run the block.
  bool beginCounted() const noexcept {
    // From queued to running, in one step (modular arithmetic).
    return (state_.fetch_add(kRunning - kQueued, std::memory_order_acquire) & kReleased) == 0;
  }
  // A counted delivery ends; the handler must not be touched afterwards.
  void endCounted() const noexcept { const_cast<HandlerCore*>(this)->settle(kRunning, 0); }
  // Inside a flagged delivery: whether the block may run.
  bool isLive() const noexcept { return (state_.load(std::memory_order_acquire) & kReleased) == 0; }

 private:
  // Destroys the block (and what it captures) in place.
  virtual void destroyBlock() noexcept = 0;
  // Runs the destructor and frees the memory; the block is gone already.
  virtual void destroyShell() noexcept = 0;
  virtual const void* blockTarget() const noexcept { return nullptr; }

  // Counted handlers: subtracts `minus` from the state and sets `plus`, the
  // caller's last touch of the handler unless that change is what leaves it
  // finished. If the change leaves the block released with no delivery
  // running it, the same step claims it, and the caller destroys it; the
  // shell goes with the change that leaves nothing referring to it.
  void settle(std::uint64_t minus, std::uint64_t plus) noexcept;

  static constexpr std::uint64_t kReleased = 1;
  static constexpr std::uint64_t kBlockGone = 2;  // claimed by the one who destroys it
  static constexpr std::uint64_t kRunning = 4;    // one per delivery running (bits 2-31)
  static constexpr std::uint64_t kRunningMask = 0xFFFF'FFFCULL;
  static constexpr std::uint64_t kQueued = 1ULL << 32;  // one per delivery queued

  // Declared in this order so that the one-byte fields share a word: a
  // handler with a block of 16 bytes (a future's derived handler) then fits
  // the 64-byte block class.
  const DispatchQueue queue_;
  const bool counted_;
  const bool once_;  // called at most once (a future's)
  const bool prefetches_;
  mutable std::atomic<bool> called_{false};  // flagged

 public:
  // For an owner that keeps its handlers in a list of its own (a future):
  // the kind of this handler and the link to the next one. Both belong to
  // the owner and are guarded by its lock; the handler never reads them.
  std::uint8_t kind = 0;
  HandlerCore* next = nullptr;

 private:
  mutable std::atomic<std::uint64_t> state_{0};
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
// A block may offer `const void* prefetchTarget() const noexcept`: the start
// of the 64 bytes it writes first, asked on the submitting thread as each
// delivery is submitted. When the delivery waits in a serial queue behind
// others, those bytes and the handler are prefetched a few items before it
// runs, so that fetching them overlaps the items before it instead of
// stalling it (a derived future's handler, which completes a future last
// touched long before, names that future).
//
// Lifetime: when the last owner lets go (the last std::shared_ptr, or the
// future that owns the handler), deliveries that have not started do
// nothing, and the block, with what it captures, is destroyed at once, or,
// if a delivery is running it, as that delivery returns. A handler made
// with make() and called on a serial queue (a signal's) is the exception: it
// is destroyed by one more item on that queue, which runs after the
// deliveries submitted before it; that way a delivery costs no reference
// counting.
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
  Handler(DispatchQueue queue, bool repeating, bool prefetches)
      : HandlerCore(std::move(queue), repeating, prefetches) {}
  ~Handler() override = default;

 private:
  template <class T>
  friend class Future;

  // A handler its owner calls at most once (a future's), owned by the
  // caller through the returned pointer until it calls release().
  template <class F>
  static Handler* makeOwned(DispatchQueue queue, F&& block);

  virtual void run(const V& value) const = 0;

  // A queued delivery, counted or flagged (see HandlerCore). Two words of
  // item header, these three and a 32-byte value fill one 64-byte block.
  template <bool kCounted>
  struct Delivery {
    const Handler* self;
    const void* target;
    V value;
    void operator()() const {
      if constexpr (kCounted) {
        if (self->beginCounted()) self->run(value);
        self->endCounted();
      } else if (self->isLive()) {
        self->run(value);
      }
    }
    void prefetch() const noexcept { self->prefetchDelivery(target); }
  };

  void submit(V value) const {
    const void* target = deliveryTarget();
    if (noteSubmitted()) {
      queue().async(Delivery<true>{this, target, std::move(value)});
    } else {
      queue().async(Delivery<false>{this, target, std::move(value)});
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
    const void* target = deliveryTarget();
    if (noteSubmitted()) {
      queue().async(Delivery<true>{this, target});
    } else {
      queue().async(Delivery<false>{this, target});
    }
  }

 protected:
  struct Passkey {
    explicit Passkey() = default;
  };
  Handler(DispatchQueue queue, bool repeating, bool prefetches)
      : HandlerCore(std::move(queue), repeating, prefetches) {}
  ~Handler() override = default;

 private:
  template <class T>
  friend class Future;

  template <class F>
  static Handler* makeOwned(DispatchQueue queue, F&& block);

  virtual void run() const = 0;

  // As Handler<V>::Delivery, without a value.
  template <bool kCounted>
  struct Delivery {
    const Handler* self;
    const void* target;
    void operator()() const {
      if constexpr (kCounted) {
        if (self->beginCounted()) self->run();
        self->endCounted();
      } else if (self->isLive()) {
        self->run();
      }
    }
    void prefetch() const noexcept { self->prefetchDelivery(target); }
  };
};

}  // namespace mornik::Flow

namespace mornik::detail {

template <class F>
concept PrefetchingBlock = requires(const F& block) {
  { block.prefetchTarget() } noexcept -> std::convertible_to<const void*>;
};

// The block of a handler, stored in the same allocation, in raw storage of
// its own so that it can go before the rest of the handler (see
// HandlerCore).
template <class Base, class F>
class HandlerBlock : public Base {
 protected:
  template <class G>
  HandlerBlock(DispatchQueue queue, bool repeating, G&& block)
      : Base(std::move(queue), repeating, PrefetchingBlock<F>) {
    ::new (static_cast<void*>(storage_.data())) F(std::forward<G>(block));
  }
  ~HandlerBlock() override = default;  // the block is destroyed by destroyBlock()

  // Called like a std::function: a mutable block may change its state.
  F& block() const noexcept {
    return *std::launder(reinterpret_cast<F*>(const_cast<unsigned char*>(storage_.data())));
  }

 private:
  void destroyBlock() noexcept override { block().~F(); }
  const void* blockTarget() const noexcept override {
    if constexpr (PrefetchingBlock<F>) {
      return block().prefetchTarget();
    } else {
      return nullptr;
    }
  }

  alignas(F) std::array<unsigned char, sizeof(F)> storage_;
};

template <class V, class F>
class HandlerOf final : public HandlerBlock<Flow::Handler<V>, F> {
 public:
  template <class G>
  HandlerOf(typename Flow::Handler<V>::Passkey /*unused*/, DispatchQueue queue, bool repeating,
            G&& block)
      : HandlerBlock<Flow::Handler<V>, F>(std::move(queue), repeating, std::forward<G>(block)) {}

 private:
  void run(const V& value) const override { std::invoke(this->block(), value); }
  void destroyShell() noexcept override {
    this->~HandlerOf();
    PoolAllocator<HandlerOf>().deallocate(this, 1);
  }
};

template <class F>
class HandlerOf<void, F> final : public HandlerBlock<Flow::Handler<void>, F> {
 public:
  template <class G>
  HandlerOf(Flow::Handler<void>::Passkey /*unused*/, DispatchQueue queue, bool repeating, G&& block)
      : HandlerBlock<Flow::Handler<void>, F>(std::move(queue), repeating, std::forward<G>(block)) {}

 private:
  void run() const override { std::invoke(this->block()); }
  void destroyShell() noexcept override {
    this->~HandlerOf();
    PoolAllocator<HandlerOf>().deallocate(this, 1);
  }
};

// A new handler of class H; its one owner is the caller, who lets go with
// release().
template <class H, class Key, class G>
H* createHandler(Key key, DispatchQueue queue, bool repeating, G&& block) {
  PoolAllocator<H> allocator;
  H* handler = allocator.allocate(1);
  try {
    ::new (static_cast<void*>(handler)) H(key, std::move(queue), repeating, std::forward<G>(block));
  } catch (...) {
    allocator.deallocate(handler, 1);
    throw;
  }
  return handler;
}

// A new repeating handler of class H, owned by the returned pointer.
template <class Base, class H, class Key, class G>
std::shared_ptr<Base> createSharedHandler(Key key, DispatchQueue queue, G&& block) {
  H* handler = createHandler<H>(key, std::move(queue), true, std::forward<G>(block));
  try {
    return std::shared_ptr<Base>(
        handler, [](Base* owned) { owned->release(); }, PoolAllocator<Base>());
  } catch (...) {
    handler->release();
    throw;
  }
}

}  // namespace mornik::detail

namespace mornik::Flow {

template <class V>
template <class F>
  requires BlockTaking<F, const V&>
std::shared_ptr<Handler<V>> Handler<V>::make(DispatchQueue queue, F&& block) {
  return detail::createSharedHandler<Handler, detail::HandlerOf<V, std::decay_t<F>>>(
      Passkey(), std::move(queue), std::forward<F>(block));
}

template <class V>
template <class F>
Handler<V>* Handler<V>::makeOwned(DispatchQueue queue, F&& block) {
  return detail::createHandler<detail::HandlerOf<V, std::decay_t<F>>>(
      Passkey(), std::move(queue), false, std::forward<F>(block));
}

template <class F>
  requires BlockTaking<F>
std::shared_ptr<Handler<void>> Handler<void>::make(DispatchQueue queue, F&& block) {
  return detail::createSharedHandler<Handler, detail::HandlerOf<void, std::decay_t<F>>>(
      Passkey(), std::move(queue), std::forward<F>(block));
}

template <class F>
Handler<void>* Handler<void>::makeOwned(DispatchQueue queue, F&& block) {
  return detail::createHandler<detail::HandlerOf<void, std::decay_t<F>>>(
      Passkey(), std::move(queue), false, std::forward<F>(block));
}

// A block receiving the value of an update or a success: `block(const V&)`,
// or `block()` when V is void.
template <class F, class V>
concept ValueBlock =
    (std::is_void_v<V> && BlockTaking<F>) || (!std::is_void_v<V> && BlockTaking<F, const V&>);

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

MORNIK_EXPORTS_END
