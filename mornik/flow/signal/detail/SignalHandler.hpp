#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/PoolAllocator.hpp"
#include "mornik/flow/core/Handler.hpp"
#include "mornik/flow/signal/detail/EveryThreadFence.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// A signal's buffered value as its spin lock sees it: copied, swapped and
// dropped under the lock at the cost of copying a pointer. A small
// trivially copyable value is held inline (its copy is a few moves); any
// other in an immutable shared copy made outside the lock.
template <class T, bool Inline = std::is_trivially_copyable_v<T> && sizeof(T) <= 32>
class SignalBuffer {
 public:
  SignalBuffer() = default;
  explicit SignalBuffer(const T& value) : value_(value) {}
  explicit operator bool() const noexcept { return value_.has_value(); }
  const T& operator*() const noexcept { return *value_; }
  void swap(SignalBuffer& other) noexcept { std::swap(value_, other.value_); }
  void reset() noexcept { value_.reset(); }

 private:
  std::optional<T> value_;
};

template <class T>
class SignalBuffer<T, false> {
 public:
  SignalBuffer() = default;
  explicit SignalBuffer(const T& value) : shared_(makeShared(value)) {}
  explicit operator bool() const noexcept { return shared_ != nullptr; }
  const T& operator*() const noexcept { return *shared_; }
  void swap(SignalBuffer& other) noexcept { shared_.swap(other.shared_); }
  void reset() noexcept { shared_.reset(); }

 private:
  static std::shared_ptr<const T> makeShared(const T& value) {
    if constexpr (alignof(T) <= alignof(std::max_align_t)) {
      return std::allocate_shared<T>(PoolAllocator<T>(), value);  // from the executor's pool
    } else {
      return std::make_shared<T>(value);
    }
  }

  std::shared_ptr<const T> shared_;
};

// One handler of a signal: a queue, a block taking the signal's values and,
// for a handler registered while the signal held a value, that value (the
// replay) to be handed over before any other.
//
// Replay: the signal sets it under its lock, in the critical section that
// lists the handler, and submits callReplay() after releasing the lock; an
// update may submit its value in between. Whichever delivery of this handler
// runs first hands over the replay before its own value, so the replay
// arrives exactly once and before every later value, without any submission
// under the signal's lock.
//
// Lifetime: when the last owner (the signal) lets go, deliveries that start
// from then on do nothing, and the block, with what it captures, is
// destroyed at once, or, if a delivery is running it right then, when that
// delivery returns. The handler's own small remainder goes later, as
// HandlerCore decides (after the deliveries already submitted), so a queue
// that never runs again keeps no capture alive.
//
// How a release and a running delivery agree (a store-then-load handshake
// on both sides): a delivery marks itself running, then looks for the
// release; a release marks itself, fences, then looks for a running
// delivery. So either the delivery sees the release and leaves the block
// alone, or the release sees the delivery and leaves the block to it. The
// release pays for the fence of both sides where fenceEveryThread() reaches
// every thread: a delivery then needs only plain stores and loads, the
// price of a signal's fan-out. A delivery ending while the release looks
// does the same check once more, so the block goes exactly once.
//
// Thread safety: call() and callReplay() may be called from any thread.
template <class T>
class SignalHandler : public HandlerCore {
 public:
  using Buffer = SignalBuffer<T>;

  template <class F>
  static std::shared_ptr<SignalHandler> make(DispatchQueue queue, F&& block);

  // Before the handler is listed, under the signal's lock: the buffered
  // value it is to receive first.
  void setReplay(Buffer replay) noexcept {
    replay_ = std::move(replay);
    state_.store(kReplay, std::memory_order_relaxed);  // nobody else sees the handler yet
  }

  // Submits a delivery of a copy of `value`.
  void call(const T& value) const {
    noteSubmittedOnce();
    if (noteSubmitted()) {
      queue().async([self = this, value] {
        self->beginCounted();
        self->deliver(&value);
        self->endCounted();
      });
    } else {
      queue().async([self = this, value] { self->deliver(&value); });
    }
  }

  // Submits the delivery of the replay (nothing, if another delivery took
  // it first).
  void callReplay() const {
    noteSubmittedOnce();
    if (noteSubmitted()) {
      queue().async([self = this] {
        self->beginCounted();
        self->deliver(nullptr);
        self->endCounted();
      });
    } else {
      queue().async([self = this] { self->deliver(nullptr); });
    }
  }

  // The first step of a release, for an owner that lets go of many handlers
  // at once: marks this one released; then one fenceEveryThread() serves
  // them all. Returns whether a delivery was ever submitted (whether the
  // fence is needed).
  bool markReleased() noexcept {
    state_.fetch_or(kReleased | kOwnerFences, std::memory_order_seq_cst);
    return submitted_.load(std::memory_order_relaxed);
  }

 protected:
  explicit SignalHandler(DispatchQueue queue)
      : HandlerCore(std::move(queue), true, false),
        serial_(this->queue().isSerial()),
        lightFences_(fencesEveryThread()) {}
  ~SignalHandler() override = default;

  // The owner let go.
  void releaseOwner() noexcept {
    const std::uint32_t before = state_.fetch_or(kReleased, std::memory_order_seq_cst);
    if ((before & kOwnerFences) == 0 && submitted_.load(std::memory_order_relaxed))
      fenceEveryThread();
    if (running_.load(std::memory_order_seq_cst) == 0) destroyBlockOnce();
    release();
  }

  // For the last step of destroyShell(): the block, if it is still there.
  void destroyRemains() noexcept {
    if ((state_.load(std::memory_order_acquire) & kBlockGone) == 0) destroyBlockOnce();
  }

 private:
  static constexpr std::uint32_t kReleased = 1;
  static constexpr std::uint32_t kBlockGone = 2;
  static constexpr std::uint32_t kReplay = 4;
  static constexpr std::uint32_t kOwnerFences = 8;  // the owner fences for the release

  virtual void invoke(const T& value) const = 0;
  // Destroys the block in place; called once, by destroyBlockOnce().
  virtual void destroyOwnBlock() noexcept = 0;
  // The core's hook: whoever gets there first destroys the block.
  void destroyBlock() noexcept final { destroyBlockOnce(); }

  void noteSubmittedOnce() const noexcept {
    if (!submitted_.load(std::memory_order_relaxed)) {
      submitted_.store(true, std::memory_order_relaxed);
    }
  }

  // This side of the handshake: between marking and looking, a compiler
  // barrier where the release fences every thread, else a full fence.
  void fenceDelivery() const noexcept {
    if (lightFences_) {
      std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
      std::atomic_thread_fence(std::memory_order_seq_cst);
    }
  }

  void deliver(const T* value) const {
    if (serial_) {  // one delivery at a time
      running_.store(1, std::memory_order_relaxed);
    } else {
      running_.fetch_add(1, std::memory_order_relaxed);
    }
    fenceDelivery();
    const std::uint32_t state = state_.load(std::memory_order_acquire);
    if ((state & kReleased) == 0) {
      if ((state & kReplay) != 0 &&
          (state_.fetch_and(~kReplay, std::memory_order_acq_rel) & kReplay) != 0) {
        const Buffer replay = std::move(replay_);
        invoke(*replay);
      }
      if (value != nullptr) invoke(*value);
    }
    bool last = true;
    if (serial_) {
      running_.store(0, std::memory_order_release);
    } else {
      last = running_.fetch_sub(1, std::memory_order_acq_rel) == 1;
    }
    fenceDelivery();
    if (last && (state_.load(std::memory_order_acquire) & kReleased) != 0) {
      const_cast<SignalHandler*>(this)->destroyBlockOnce();
    }
  }

  void destroyBlockOnce() noexcept {
    if ((state_.fetch_or(kBlockGone, std::memory_order_acq_rel) & kBlockGone) == 0) {
      replay_.reset();
      destroyOwnBlock();
    }
  }

  const bool serial_;
  const bool lightFences_;
  mutable std::atomic<bool> submitted_{false};  // written once, by a submitter
  // Keeps what every delivery writes off the cache line of the fields every
  // submission reads.
  [[maybe_unused]] std::array<char, 64> pad_{};
  mutable std::atomic<std::uint32_t> running_{0};  // deliveries running the block
  mutable std::atomic<std::uint32_t> state_{0};
  mutable Buffer replay_;  // taken by the first delivery
};

// The handler with its block in the same allocation.
template <class T, class F>
class SignalHandlerOf final : public SignalHandler<T> {
 public:
  template <class G>
  SignalHandlerOf(DispatchQueue queue, G&& block)
      : SignalHandler<T>(std::move(queue)), block_(std::in_place, std::forward<G>(block)) {}

  template <class G>
  static std::shared_ptr<SignalHandler<T>> create(DispatchQueue queue, G&& block) {
    PoolAllocator<SignalHandlerOf> allocator;
    SignalHandlerOf* handler = allocator.allocate(1);
    try {
      new (handler) SignalHandlerOf(std::move(queue), std::forward<G>(block));
    } catch (...) {
      allocator.deallocate(handler, 1);
      throw;
    }
    return std::shared_ptr<SignalHandler<T>>(
        handler,
        [](SignalHandler<T>* owned) { static_cast<SignalHandlerOf*>(owned)->releaseOwner(); },
        PoolAllocator<SignalHandler<T>>());
  }

 private:
  void invoke(const T& value) const override { std::invoke(*block_, value); }
  void destroyOwnBlock() noexcept override { block_.reset(); }
  void destroyShell() noexcept override {
    this->destroyRemains();
    this->~SignalHandlerOf();
    PoolAllocator<SignalHandlerOf>().deallocate(this, 1);
  }

  mutable std::optional<F> block_;  // called like a std::function: it may change its state
};

template <class T>
template <class F>
std::shared_ptr<SignalHandler<T>> SignalHandler<T>::make(DispatchQueue queue, F&& block) {
  return SignalHandlerOf<T, std::decay_t<F>>::create(std::move(queue), std::forward<F>(block));
}

}  // namespace mornik::detail

MORNIK_EXPORTS_END
