#pragma once

#include <concepts>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "mornik/concurrency/DispatchQueue.hpp"

namespace mornik::Flow {

// One registered callback of a future or a signal: a dispatch queue and a
// block taking one value.
//
//   auto handler = Flow::Handler<int>::make(DispatchQueue::main(),
//                                           [](const int& n) { show(n); });
//   handler->call(42);  // show(42) runs later, on the main queue
//
// `call(value)` submits one task to the handler's queue and returns; the block
// never runs inside `call`. The task holds the handler weakly and a copy of
// the value: if the handler is gone by the time the task runs, nothing
// happens. That is how releasing a future or a signal (the owner of its
// handlers) silences deliveries already queued.
//
// Ownership: the handler owns its block (and what the block captures); its
// owner (a future or signal) owns the handler.
// Thread safety: call() may be called from any thread, also concurrently;
// on a concurrent queue the block may then run concurrently with itself.
// Callbacks: on queue(), asynchronously.
template <class V>
class Handler : public std::enable_shared_from_this<Handler<V>> {
 public:
  template <class F>
  requires std::invocable < std::decay_t<F>
  &, const V& > static std::shared_ptr<Handler> make(DispatchQueue queue, F&& block);

  virtual ~Handler() = default;
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

  const DispatchQueue& queue() const noexcept { return queue_; }

  // Submits the block with a copy of `value` to queue().
  void call(const V& value) const { submit(V(value)); }
  void call(V&& value) const { submit(std::move(value)); }

 protected:
  struct Passkey {
    explicit Passkey() = default;
  };
  explicit Handler(DispatchQueue queue) : queue_(std::move(queue)) {}

 private:
  virtual void run(const V& value) const = 0;

  void submit(V value) const {
    queue_.async([weak = this->weak_from_this(), value = std::move(value)] {
      if (const auto self = weak.lock()) self->run(value);
    });
  }

  const DispatchQueue queue_;
};

// A callback without a value (the success of a Future<void>, a change
// notification).
template <>
class Handler<void> : public std::enable_shared_from_this<Handler<void>> {
 public:
  template <class F>
  requires std::invocable < std::decay_t<F>
  & > static std::shared_ptr<Handler> make(DispatchQueue queue, F&& block);

  virtual ~Handler() = default;
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

  const DispatchQueue& queue() const noexcept { return queue_; }

  // Submits the block to queue().
  void call() const {
    queue_.async([weak = weak_from_this()] {
      if (const auto self = weak.lock()) self->run();
    });
  }

 protected:
  struct Passkey {
    explicit Passkey() = default;
  };
  explicit Handler(DispatchQueue queue) : queue_(std::move(queue)) {}

 private:
  virtual void run() const = 0;

  const DispatchQueue queue_;
};

}  // namespace mornik::Flow

namespace mornik::detail {

// The handler with its block stored in the same allocation.
template <class V, class F>
class HandlerOf final : public Flow::Handler<V> {
 public:
  HandlerOf(typename Flow::Handler<V>::Passkey /*unused*/, DispatchQueue queue, F block)
      : Flow::Handler<V>(std::move(queue)), block_(std::move(block)) {}

 private:
  void run(const V& value) const override { std::invoke(block_, value); }

  mutable F block_;  // called like a std::function: a mutable block may change its state
};

template <class F>
class HandlerOf<void, F> final : public Flow::Handler<void> {
 public:
  HandlerOf(Flow::Handler<void>::Passkey /*unused*/, DispatchQueue queue, F block)
      : Flow::Handler<void>(std::move(queue)), block_(std::move(block)) {}

 private:
  void run() const override { std::invoke(block_); }

  mutable F block_;
};

}  // namespace mornik::detail

namespace mornik::Flow {

template <class V>
template <class F>
requires std::invocable < std::decay_t<F>
&, const V& > std::shared_ptr<Handler<V>> Handler<V>::make(DispatchQueue queue, F&& block) {
  return std::make_shared<detail::HandlerOf<V, std::decay_t<F>>>(Passkey(), std::move(queue),
                                                                 std::forward<F>(block));
}

template <class F>
requires std::invocable < std::decay_t<F>
& > std::shared_ptr<Handler<void>> Handler<void>::make(DispatchQueue queue, F&& block) {
  return std::make_shared<detail::HandlerOf<void, std::decay_t<F>>>(Passkey(), std::move(queue),
                                                                    std::forward<F>(block));
}

// A block receiving the value of an update or a success: `block(const V&)`,
// or `block()` when V is void.
template <class F, class V>
concept ValueBlock = (std::is_void_v<V> && std::invocable<std::decay_t<F>&>) ||
                     (!std::is_void_v<V> && std::invocable<std::decay_t<F>&, const V&>);

// The same with a context object first, taken as `C&` or as
// `const std::shared_ptr<C>&`.
template <class F, class C, class V>
concept ContextValueBlock =
    (std::is_void_v<V> && (std::invocable<std::decay_t<F>&, C&> ||
                           std::invocable<std::decay_t<F>&, const std::shared_ptr<C>&>)) ||
    (!std::is_void_v<V> && (std::invocable<std::decay_t<F>&, C&, const V&> ||
                            std::invocable<std::decay_t<F>&, const std::shared_ptr<C>&, const V&>));

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
