#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/core/JoinableValues.hpp"
#include "mornik/flow/observe/Published.hpp"
#include "mornik/flow/signal/FlowBridge.hpp"
#include "mornik/flow/signal/Signal.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// Joins signals into one signal of tuples that carries the latest value of
// every source each time any source updates, once every source has
// delivered a value.
//
//   auto view = Flow::SCombineLatest2<double, std::string>::make(zoom, title);
//   owner->retain(view);  // the combiner must be kept alive (a pool's combineLatest does this)
//   view->signal()->onUpdate(DispatchQueue::main(), [](const auto& latest) {
//     redraw(std::get<0>(latest), std::get<1>(latest));
//   });
//
// make() subscribes to the sources in turn, first to last, with the
// combiner as the weakly held context, on the combiner's own serial queue
// (labelled "SCombine2.Serial", "SCombine3.Serial", ...); a source that
// already holds a value hands it over like to any new subscriber.
//
// Each value replaces the stored latest value of its source; then, if every
// source has one, the tuple of all stored values, in source order, goes to
// signal()'s update(). Stored values are never cleared, so after the first
// tuple every value of any source makes a new tuple. No tuple is made before
// every source has delivered a value.
//
// Ordering: the values of all sources meet on the combiner's serial queue,
// and the tuples are made there, one per value, in the order the values
// reach it: a source's values in that source's delivery order (a source
// updated from one thread: update order), with no order between sources
// beyond that. signal() starts empty, on the global default queue; its
// handlers run there unless they name another.
//
// Ownership: the sources own the subscriptions, which hold the combiner
// weakly; the combiner does not hold the sources. A combiner nobody keeps
// alive stops combining. The combiner owns signal().
//
// Thread safety: make() may be called from any thread. The stored values
// are touched only on the combiner's serial queue, so they need no lock.
template <class... T>
class SCombineLatest final : public std::enable_shared_from_this<SCombineLatest<T...>> {
  static_assert(sizeof...(T) >= 2, "SCombineLatest joins two or more signals");

  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Tuple = std::tuple<T...>;
  using Pointer = std::shared_ptr<SCombineLatest>;

  // A combiner of `sources`, subscribed to them as described above.
  static Pointer make(const std::shared_ptr<Signal<T>>&... sources) {
    auto combiner = std::make_shared<SCombineLatest>(Passkey());
    combiner->subscribeAll(std::index_sequence_for<T...>(), sources...);
    return combiner;
  }

  explicit SCombineLatest(Passkey /*unused*/)
      : queue_("SCombine" + std::to_string(sizeof...(T)) + ".Serial"),
        signal_(Signal<Tuple>::make(DispatchQueue::global())) {}
  SCombineLatest(const SCombineLatest&) = delete;
  SCombineLatest& operator=(const SCombineLatest&) = delete;
  ~SCombineLatest() = default;

  // The tuples.
  const std::shared_ptr<Signal<Tuple>>& signal() const noexcept { return signal_; }
  // The combiner's own serial queue.
  const DispatchQueue& queue() const noexcept { return queue_; }

 private:
  template <std::size_t... I>
  void subscribeAll(std::index_sequence<I...> /*unused*/,
                    const std::shared_ptr<Signal<T>>&... sources) {
    // A fold over the comma operator: sources in order, first to last.
    (subscribeTo<I>(sources), ...);
  }

  template <std::size_t I, class V>
  void subscribeTo(const std::shared_ptr<Signal<V>>& source) {
    source->onUpdate(this->shared_from_this(), queue_,
                     [](SCombineLatest& combiner, const V& value) { combiner.updated<I>(value); });
  }

  // On queue_ only.
  template <std::size_t I, class V>
  void updated(const V& value) {
    std::get<I>(latest_) = value;
    publishIfComplete(std::index_sequence_for<T...>());
  }

  template <std::size_t... I>
  void publishIfComplete(std::index_sequence<I...> /*unused*/) {
    if ((std::get<I>(latest_).has_value() && ...)) signal_->update(Tuple(*std::get<I>(latest_)...));
  }

  const DispatchQueue queue_;
  const std::shared_ptr<Signal<Tuple>> signal_;
  std::tuple<std::optional<T>...> latest_;  // on queue_ only
};

template <class A, class B>
using SCombineLatest2 = SCombineLatest<A, B>;
template <class A, class B, class C>
using SCombineLatest3 = SCombineLatest<A, B, C>;

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
