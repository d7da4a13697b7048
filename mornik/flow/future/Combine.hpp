#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "mornik/base/Error.hpp"
#include "mornik/base/Export.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/flow/core/JoinableValues.hpp"
#include "mornik/flow/future/Future.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// Joins futures into one future of a tuple: final() succeeds with every
// source's value, in source order, once all have succeeded, or fails with
// the first failure handled.
//
//   auto both = Flow::FCombine2<User, Settings>::make(loadUser, loadSettings);
//   owner->retain(both);  // the combiner must be kept alive (a pool's combine does this)
//   both->final()->onSuccess(DispatchQueue::main(), [](const auto& userAndSettings) {
//     show(std::get<0>(userAndSettings), std::get<1>(userAndSettings));
//   });
//
// make() registers on each source in turn, first to last, a success handler
// and then a failure handler, with the combiner as their weakly held
// context, on `queue` or, when none is given, on the combiner's own serial
// queue (labelled "Combine2.Serial", "Combine3.Serial", ...). Registering
// starts sources that have not started.
//
// Outcome: a success stores its value; the one that finds every value stored
// completes final() with the tuple. A failure completes final() with its
// error. final() completes once, so the first failure handled, or else the
// last missing value, decides, and whatever is handled later changes
// nothing. Stored values are never cleared. A source that never completes
// keeps final() pending unless another source fails. On the combiner's
// serial queue "first handled" is completion order: the handlers of all
// sources are submitted to that one queue as the sources complete.
//
// Ownership: the sources own the handlers and the handlers hold the
// combiner weakly; the combiner holds neither the sources nor anything that
// holds it. A combiner nobody keeps alive therefore stops receiving
// outcomes and final() stays pending. The combiner owns final() (a future
// without work of its own, on the global queue).
//
// Thread safety: make() may be called from any thread. The stored values sit
// under a short lock of the combiner, so a concurrent `queue` is as safe as
// the serial one; no block runs under it.
template <class... T>
class FCombine final : public std::enable_shared_from_this<FCombine<T...>> {
  static_assert(sizeof...(T) >= 2, "FCombine joins two or more futures");
  static_assert((!std::is_void_v<T> && ...), "FCombine joins futures that carry values");

  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Tuple = std::tuple<T...>;
  using Pointer = std::shared_ptr<FCombine>;

  // A combiner of `sources`, registered on them as described above.
  static Pointer make(const std::shared_ptr<Future<T>>&... sources,
                      std::optional<DispatchQueue> queue = std::nullopt) {
    auto combiner = std::make_shared<FCombine>(Passkey());
    const DispatchQueue handlerQueue = queue ? std::move(*queue) : combiner->queue_;
    combiner->registerAll(handlerQueue, std::index_sequence_for<T...>(), sources...);
    return combiner;
  }

  explicit FCombine(Passkey /*unused*/)
      : queue_("Combine" + std::to_string(sizeof...(T)) + ".Serial"),
        final_(Future<Tuple>::promise()) {}
  FCombine(const FCombine&) = delete;
  FCombine& operator=(const FCombine&) = delete;
  ~FCombine() = default;

  // The joined outcome.
  const std::shared_ptr<Future<Tuple>>& final() const noexcept { return final_; }
  // The combiner's own serial queue.
  const DispatchQueue& queue() const noexcept { return queue_; }

 private:
  template <std::size_t... I>
  void registerAll(const DispatchQueue& queue, std::index_sequence<I...> /*unused*/,
                   const std::shared_ptr<Future<T>>&... sources) {
    // A fold over the comma operator: sources in order, first to last.
    (registerOn<I>(queue, sources), ...);
  }

  template <std::size_t I, class V>
  void registerOn(const DispatchQueue& queue, const std::shared_ptr<Future<V>>& source) {
    const Pointer self = this->shared_from_this();
    source->onSuccess(self, queue,
                      [](FCombine& combiner, const V& value) { combiner.succeeded<I>(value); });
    source->onFailure(self, queue, [](FCombine& combiner, const Error& error) {
      combiner.final_->complete(error);
    });
  }

  template <std::size_t I, class V>
  void succeeded(const V& value) MORNIK_EXCLUDES(lock_) {
    std::optional<Tuple> all;
    {
      mornik::detail::ScopedLock<UnfairLock> guard(lock_);
      std::get<I>(successes_) = value;
      all = completeTupleLocked(std::index_sequence_for<T...>());
    }
    if (all) final_->complete(Result<Tuple>(std::move(*all)));
  }

  // The tuple of the stored values, if every one is stored.
  template <std::size_t... I>
  std::optional<Tuple> completeTupleLocked(std::index_sequence<I...> /*unused*/) const
      MORNIK_REQUIRES(lock_) {
    if (!(std::get<I>(successes_).has_value() && ...)) return std::nullopt;
    return Tuple(*std::get<I>(successes_)...);
  }

  const DispatchQueue queue_;
  const std::shared_ptr<Future<Tuple>> final_;
  mutable UnfairLock lock_;
  std::tuple<std::optional<T>...> successes_ MORNIK_GUARDED_BY(lock_);
};

template <class A, class B>
using FCombine2 = FCombine<A, B>;
template <class A, class B, class C>
using FCombine3 = FCombine<A, B, C>;

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
