#pragma once

#include <atomic>
#include <concepts>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/core/Handler.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

template <class T>
class Signal;

}  // namespace mornik::Flow

namespace mornik::detail {

// How many leading values a skip operator still drops. Exact on any queue:
// taking one is a single atomic step, and the count stops at zero.
class SkipCounter {
 public:
  explicit SkipCounter(long first) noexcept : remaining_(first) {}
  // Handlers move their blocks into place once, before any delivery.
  SkipCounter(const SkipCounter& other) noexcept
      : remaining_(other.remaining_.load(std::memory_order_relaxed)) {}
  SkipCounter& operator=(const SkipCounter&) = delete;
  ~SkipCounter() = default;

  // Whether the value at hand is to be dropped: true while the count is
  // above zero, and then the count goes down by one.
  bool takeOne() noexcept {
    long left = remaining_.load(std::memory_order_relaxed);
    while (left > 0) {
      if (remaining_.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return true;
    }
    return false;
  }

 private:
  std::atomic<long> remaining_;
};

}  // namespace mornik::detail

namespace mornik::Flow {

// The value type of the signal that map() derives with `block`.
template <class F, class T>
using MappedValue = std::remove_cvref_t<std::invoke_result_t<BlockRef<F>, const T&>>;

// The operators of Signal<T>: each derives a new signal with an empty
// buffer, registers one handler on this signal that feeds it, and returns
// it. Signal<T> inherits them; they use only its public core.
//
//   auto celsius = Flow::Signal<double>::make(sensorQueue);
//   auto shown = celsius->map([](double c) { return format(c); })   // on sensorQueue
//                    ->distinct();
//   shown->onUpdate(DispatchQueue::main(), [](const std::string& s) { label.show(s); });
//
// Every value that reaches the handler passes through the operator: each
// later update of this signal and, once, the value this signal buffers when
// the operator is applied. A derived signal's buffer stays empty until the
// handler has run, so currentValue() right after the operator returns is
// still none.
//
// Queues (Q is the queue given, where the operator takes one):
//
//   operator                   derived signal's queue     the handler runs on
//   map(queue, block)          Q, else this signal's      this signal's queue
//   map(context, queue, block) Q, else this signal's      this signal's queue
//   filter(queue, block)       Q, else this signal's      the derived queue
//   filter(object, queue, ..)  Q, else this signal's      the derived queue
//   skip(first, queue)         Q, else this signal's      the derived queue
//   skip(first), skipFirst()   this signal's              this signal's queue
//   distinct()                 this signal's              this signal's queue
//
// So a transform always runs on this signal's queue, while a predicate or a
// count runs where the derived signal's subscribers run by default.
//
// Ownership: the handler holds the derived signal strongly, and the derived
// signal holds nothing of this one: a derived signal lives at least as long
// as its source, and never keeps the source alive. Releasing a derived signal
// the source still reaches does not stop the forwarding. map's context is
// held strongly (copied in); filter's context object weakly.
//
// Thread safety: every operator may be called from any thread. Transforms
// and predicates run on a queue, never on the thread that updated the
// source; on a concurrent queue they may run concurrently with themselves
// (and their values may pass in another order). The skip counts are exact on
// any queue. distinct() compares with the derived signal's buffer: it needs a
// serial queue to never pass two equal values in a row, and updating or
// clearing the derived signal directly changes what counts as the previous
// value.
template <class T>
class SignalOperators {
 public:
  // A signal of `block(value)` for every value. The transform runs on this
  // signal's queue; `queue` only sets the derived signal's queue.
  template <class F>
    requires BlockTaking<F, const T&> && (!std::is_void_v<MappedValue<F, T>>)
  [[nodiscard]] std::shared_ptr<Signal<MappedValue<F, T>>> map(std::optional<DispatchQueue> queue,
                                                               F&& block) {
    using U = MappedValue<F, T>;
    Signal<T>& source = self();
    auto derived = Signal<U>::make(queue ? std::move(*queue) : source.queue());
    source.onUpdate([derived, block = std::decay_t<F>(std::forward<F>(block))](
                        const T& value) mutable { derived->update(std::invoke(block, value)); });
    return derived;
  }
  template <class F>
    requires BlockTaking<F, const T&> && (!std::is_void_v<MappedValue<F, T>>)
  [[nodiscard]] std::shared_ptr<Signal<MappedValue<F, T>>> map(F&& block) {
    return map(std::nullopt, std::forward<F>(block));
  }

  // The same with a context value, held strongly (copied in) for the life of
  // the handler, handed to the block with every value: `block(context, value)`.
  template <class X, class F>
    requires BlockTaking<F, const X&, const T&>
  [[nodiscard]] auto map(X context, std::optional<DispatchQueue> queue, F&& block) {
    return map(
        std::move(queue),
        [context = std::move(context), block = std::decay_t<F>(std::forward<F>(block))](
            const T& value) mutable { return std::invoke(block, std::as_const(context), value); });
  }

  // A signal of the values for which `predicate(value)` holds, tested on the
  // derived queue (`queue`, else this signal's).
  template <class F>
    requires BlockTaking<F, const T&>
  [[nodiscard]] std::shared_ptr<Signal<T>> filter(std::optional<DispatchQueue> queue,
                                                  F&& predicate) {
    Signal<T>& source = self();
    auto derived = Signal<T>::make(queue ? std::move(*queue) : source.queue());
    source.onUpdate(
        derived->queue(),
        [derived, predicate = std::decay_t<F>(std::forward<F>(predicate))](const T& value) mutable {
          if (std::invoke(predicate, value)) derived->update(value);
        });
    return derived;
  }
  template <class F>
    requires BlockTaking<F, const T&>
  [[nodiscard]] std::shared_ptr<Signal<T>> filter(F&& predicate) {
    return filter(std::nullopt, std::forward<F>(predicate));
  }

  // The same with a context object held weakly: `predicate(object, value)`
  // (the object as `C&` or `const std::shared_ptr<C>&`); once the object is
  // gone nothing passes.
  template <class C, class F>
    requires(BlockTaking<F, C&, const T&> || BlockTaking<F, const std::shared_ptr<C>&, const T&>)
  [[nodiscard]] std::shared_ptr<Signal<T>> filter(const std::shared_ptr<C>& object,
                                                  std::optional<DispatchQueue> queue,
                                                  F&& predicate) {
    return filter(
        std::move(queue),
        [weak = std::weak_ptr<C>(object),
         predicate = std::decay_t<F>(std::forward<F>(predicate))](const T& value) mutable -> bool {
          const std::shared_ptr<C> context = weak.lock();
          if (!context) return false;
          if constexpr (BlockTaking<F, C&, const T&>) {
            return std::invoke(predicate, *context, value);
          } else {
            return std::invoke(predicate, context, value);
          }
        });
  }
  template <class C, class F>
    requires(BlockTaking<F, C&, const T&> || BlockTaking<F, const std::shared_ptr<C>&, const T&>)
  [[nodiscard]] std::shared_ptr<Signal<T>> filter(const std::shared_ptr<C>& object, F&& predicate) {
    return filter(object, std::nullopt, std::forward<F>(predicate));
  }

  // A signal of every value after the first `first` ones (a count of 0 or
  // below lets all through), counted on the derived queue (`queue`, else
  // this signal's).
  [[nodiscard]] std::shared_ptr<Signal<T>> skip(long first, std::optional<DispatchQueue> queue) {
    Signal<T>& source = self();
    auto derived = Signal<T>::make(queue ? std::move(*queue) : source.queue());
    source.onUpdate(derived->queue(), [derived, counter = mornik::detail::SkipCounter(first)](
                                          const T& value) mutable {
      if (!counter.takeOne()) derived->update(value);
    });
    return derived;
  }

  // The same, counted on this signal's queue, which the derived signal
  // shares.
  [[nodiscard]] std::shared_ptr<Signal<T>> skip(long first) { return skip(first, self().queue()); }

  // skip(1): on a signal that holds a value, that value is the one dropped.
  [[nodiscard]] std::shared_ptr<Signal<T>> skipFirst() { return skip(1); }

  // A signal of the values that differ from the derived signal's buffer
  // (the last value let through): consecutive equal values pass once.
  template <class U = T>
    requires std::equality_comparable<U>
  [[nodiscard]] std::shared_ptr<Signal<T>> distinct() {
    Signal<T>& source = self();
    auto derived = Signal<T>::make(source.queue());
    source.onUpdate([derived](const T& value) {
      const std::optional<T> last = derived->currentValue();
      if (!last || !(*last == value)) derived->update(value);
    });
    return derived;
  }

 protected:
  SignalOperators() = default;
  ~SignalOperators() = default;
  SignalOperators(const SignalOperators&) = default;
  SignalOperators& operator=(const SignalOperators&) = default;

 private:
  Signal<T>& self() { return static_cast<Signal<T>&>(*this); }
};

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
