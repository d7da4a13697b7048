#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/PoolAllocator.hpp"
#include "mornik/flow/core/Handler.hpp"

namespace mornik::detail {

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
// Thread safety: call() and callReplay() may be called from any thread.
template <class T>
class SignalHandler : public HandlerCore {
 public:
  using Buffer = std::shared_ptr<const T>;

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
    if (noteSubmitted()) {
      queue().async([self = this, value] {
        self->deliver(&value);
        self->noteDelivered();
      });
    } else {
      queue().async([self = this, value] { self->deliver(&value); });
    }
  }

  // Submits the delivery of the replay (nothing, if another delivery took
  // it first).
  void callReplay() const {
    if (noteSubmitted()) {
      queue().async([self = this] {
        self->deliver(nullptr);
        self->noteDelivered();
      });
    } else {
      queue().async([self = this] { self->deliver(nullptr); });
    }
  }

 protected:
  explicit SignalHandler(DispatchQueue queue) : HandlerCore(std::move(queue), true) {}
  ~SignalHandler() override = default;

  // The owner let go.
  void releaseOwner() noexcept {
    const std::uint32_t before = state_.fetch_or(kReleased, std::memory_order_acq_rel);
    if (before < kRunning) destroyBlockOnce();
    release();
  }

  // For the last step of destroy(): the block, if it is still there.
  void destroyRemains() noexcept {
    if ((state_.load(std::memory_order_acquire) & kBlockGone) == 0) destroyBlockOnce();
  }

 private:
  // state_: flag bits, then the number of deliveries running the block.
  static constexpr std::uint32_t kReleased = 1;
  static constexpr std::uint32_t kBlockGone = 2;
  static constexpr std::uint32_t kReplay = 4;
  static constexpr std::uint32_t kRunning = 8;

  virtual void invoke(const T& value) const = 0;
  virtual void destroyBlock() noexcept = 0;

  void deliver(const T* value) const {
    const std::uint32_t before = state_.fetch_add(kRunning, std::memory_order_acquire);
    if ((before & kReleased) == 0) {
      if ((before & kReplay) != 0 &&
          (state_.fetch_and(~kReplay, std::memory_order_acq_rel) & kReplay) != 0) {
        const Buffer replay = std::move(replay_);
        invoke(*replay);
      }
      if (value != nullptr) invoke(*value);
    }
    const std::uint32_t after = state_.fetch_sub(kRunning, std::memory_order_acq_rel) - kRunning;
    if ((after & kReleased) != 0 && after < kRunning) {
      const_cast<SignalHandler*>(this)->destroyBlockOnce();
    }
  }

  void destroyBlockOnce() noexcept {
    if ((state_.fetch_or(kBlockGone, std::memory_order_acq_rel) & kBlockGone) == 0) {
      replay_.reset();
      destroyBlock();
    }
  }

  // Keeps state_, which every delivery writes, off the cache line of the
  // fields every submission reads (HandlerCore's).
  [[maybe_unused]] char pad_[64]{};
  mutable Buffer replay_;  // taken by the first delivery
  mutable std::atomic<std::uint32_t> state_{0};
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
  void destroyBlock() noexcept override { block_.reset(); }
  void destroy() noexcept override {
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
