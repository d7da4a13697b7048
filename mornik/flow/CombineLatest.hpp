#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/Signal.hpp"

namespace mornik::Flow {

// Joins signals into one signal of tuples that carries the latest value of
// every source each time any source updates, once every source has produced
// a value.
//
//   auto view = Flow::SCombineLatest2<double, std::string>::make(zoom, title);
//   pool->retain(view);                         // someone must keep it alive
//   view->signal()->onUpdate(DispatchQueue::main(), [](const auto& latest) {
//     redraw(std::get<0>(latest), std::get<1>(latest));
//   });
//
// make() subscribes to the sources in order, with the combiner as a weakly
// held context, on the combiner's own serial queue (labelled
// "SCombine2.Serial", "SCombine3.Serial", ...); a source that already holds a
// value hands it over as usual. Each value replaces the stored latest value
// of its source; once every source has one, the tuple of all stored values,
// in source order, is published on signal(). Stored values are never
// cleared, so after the first tuple every update of any source publishes a
// new one. Values of one source arrive in that source's delivery order;
// between sources, in the order their deliveries reach the serial queue.
//
// signal() starts empty; its handlers run on the global default queue unless
// they name another.
//
// Ownership: the sources own the subscriptions, which hold the combiner
// weakly: a combiner nobody keeps alive stops combining. Keep it with
// FlowRetainer::retain() on an owner (a pool does this for the combiners it
// makes). The combiner owns signal().
// Thread safety: make() may be called from any thread; the stored values are
// touched only on the combiner's serial queue.
template <class... Ts>
class SCombineLatest final : public std::enable_shared_from_this<SCombineLatest<Ts...>> {
  static_assert(sizeof...(Ts) >= 2, "SCombineLatest joins two or more signals");

  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Tuple = std::tuple<Ts...>;
  using Pointer = std::shared_ptr<SCombineLatest>;

  static Pointer make(const std::shared_ptr<Signal<Ts>>&... sources) {
    auto combiner = std::make_shared<SCombineLatest>(Passkey());
    combiner->subscribeAll(std::index_sequence_for<Ts...>(), sources...);
    return combiner;
  }

  explicit SCombineLatest(Passkey /*unused*/)
      : queue_("SCombine" + std::to_string(sizeof...(Ts)) + ".Serial"),
        signal_(Signal<Tuple>::make(DispatchQueue::global())) {}
  SCombineLatest(const SCombineLatest&) = delete;
  SCombineLatest& operator=(const SCombineLatest&) = delete;
  ~SCombineLatest() = default;

  // The combined values.
  const std::shared_ptr<Signal<Tuple>>& signal() const noexcept { return signal_; }
  // The combiner's own serial queue.
  const DispatchQueue& queue() const noexcept { return queue_; }

 private:
  template <std::size_t... I>
  void subscribeAll(std::index_sequence<I...> /*unused*/,
                    const std::shared_ptr<Signal<Ts>>&... sources) {
    (subscribeOne<I>(sources), ...);
  }

  template <std::size_t I, class V>
  void subscribeOne(const std::shared_ptr<Signal<V>>& source) {
    source->onUpdate(
        this->shared_from_this(), queue_,
        [](SCombineLatest& combiner, const V& value) { combiner.template updated<I>(value); });
  }

  // On queue_ only.
  template <std::size_t I, class V>
  void updated(const V& value) {
    std::get<I>(latest_) = value;
    publishIfComplete(std::index_sequence_for<Ts...>());
  }

  template <std::size_t... I>
  void publishIfComplete(std::index_sequence<I...> /*unused*/) {
    if ((std::get<I>(latest_).has_value() && ...)) signal_->update(Tuple(*std::get<I>(latest_)...));
  }

  const DispatchQueue queue_;
  const std::shared_ptr<Signal<Tuple>> signal_;
  std::tuple<std::optional<Ts>...> latest_;  // on queue_ only
};

template <class A, class B>
using SCombineLatest2 = SCombineLatest<A, B>;
template <class A, class B, class C>
using SCombineLatest3 = SCombineLatest<A, B, C>;

}  // namespace mornik::Flow
