#pragma once

#include <concepts>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/flow/core/FlowRetainer.hpp"
#include "mornik/flow/observe/Published.hpp"
#include "mornik/flow/signal/Signal.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// The callback flow() hands to a source: it updates the bridged signal.
template <class T>
using FeedCallback = std::function<void(const T&)>;

// A subscribe step for flow(): called once with the feeding callback, it
// makes a source deliver its values to that callback and returns the
// subscription (an object whose lifetime is the subscription's, such as a
// Subscription or a shared_ptr to a handle).
template <class S, class T>
concept SubscribeStep =
    std::invocable<std::decay_t<S>&, FeedCallback<T>> &&
    std::move_constructible<std::invoke_result_t<std::decay_t<S>&, FeedCallback<T>>> &&
    !std::is_void_v<std::invoke_result_t<std::decay_t<S>&, FeedCallback<T>>>;

// Bridges an observable source that delivers values to a callback into a
// new signal, owned through its subscription by `owner` (typically a pool).
//
//   auto paths = Flow::flow<std::string>(
//       [&](Flow::FeedCallback<std::string> feed) { return watcher.onPath(std::move(feed)); },
//       *pool);
//
// The signal starts empty, on the global default queue (its handlers run
// there unless they name another), and is updated with every value the
// source delivers to the callback, on whatever thread the source calls it:
// the order of the signal's values is the order of those calls. The
// subscription is handed to owner.retain(), so it lasts as long as the
// owner; the callback holds the signal strongly, so the signal lasts at
// least as long too.
template <class T, class S>
  requires SubscribeStep<S, T>
std::shared_ptr<Signal<T>> flow(S&& subscribe, FlowRetainer& owner) {
  auto signal = Signal<T>::make(DispatchQueue::global());
  using Token = std::decay_t<std::invoke_result_t<std::decay_t<S>&, FeedCallback<T>>>;
  std::decay_t<S> step(std::forward<S>(subscribe));
  auto token = std::make_shared<Token>(
      std::invoke(step, FeedCallback<T>([signal](const T& value) { signal->update(value); })));
  owner.retain(std::shared_ptr<const void>(std::move(token)));
  return signal;
}

// A published property bridged into a new signal: the signal receives the
// property's current value, then every value stored later, in store order.
// The values pass through a serial queue of the bridge's own, labelled
// "PublishedFlow.Serial", on their way to the signal, so even the current
// value arrives asynchronously: right after flow() returns, the signal is
// still empty. `owner` owns the subscription, which lasts as long as the
// owner; it does not keep the property alive, and a property that goes
// first simply sends nothing more.
template <class T>
std::shared_ptr<Signal<T>> flow(Published<T>& property, FlowRetainer& owner) {
  return flow<T>(
      [&property](FeedCallback<T> feed) {
        return property.subscribe(DispatchQueue("PublishedFlow.Serial"), std::move(feed));
      },
      owner);
}

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
