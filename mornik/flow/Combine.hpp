#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/LockingProtocol.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/flow/Error.hpp"
#include "mornik/flow/Future.hpp"

namespace mornik::Flow {

// Joins futures into one future of a tuple: it succeeds with every source's
// value, in source order, once all have succeeded, and fails with the first
// failure handled.
//
//   auto both = Flow::FCombine2<User, Settings>::make(loadUser, loadSettings);
//   pool->retain(both);                         // someone must keep it alive
//   both->final()->onSuccess(DispatchQueue::main(), [](const auto& pair) {
//     show(std::get<0>(pair), std::get<1>(pair));
//   });
//
// make() registers, for each source in order, a success and a failure
// handler with the combiner as a weakly held context, on `queue` or, when
// none is given, on the combiner's own serial queue (labelled
// "Combine2.Serial", "Combine3.Serial", ...). Registering starts sources that
// have not started. A success stores its value; the one that completes the
// set completes final() with the tuple. A failure completes final() with its
// error. final() completes once: the first failure, or the last missing
// value, decides; later outcomes change nothing. Stored values are never
// cleared. A source that never completes keeps final() pending unless
// another source fails.
//
// Ownership: the sources own the handlers; the handlers hold the combiner
// weakly, so a combiner nobody keeps alive stops receiving results (and
// final() then stays pending). Keep it with FlowRetainer::retain() on an
// owner (a pool does this for the combiners it makes). The combiner owns
// final().
// Thread safety: make() may be called from any thread. The stored values
// sit under a lock of the combiner, so a concurrent `queue` is safe too.
template <class... Ts>
class FCombine final : public std::enable_shared_from_this<FCombine<Ts...>> {
  static_assert(sizeof...(Ts) >= 2, "FCombine joins two or more futures");
  static_assert((!std::is_void_v<Ts> && ...), "FCombine joins futures that carry values");

  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Tuple = std::tuple<Ts...>;
  using Pointer = std::shared_ptr<FCombine>;

  static Pointer make(std::shared_ptr<Future<Ts>>... sources,
                      std::optional<DispatchQueue> queue = std::nullopt) {
    auto combiner = std::make_shared<FCombine>(Passkey());
    combiner->registerAll(queue ? *queue : combiner->queue_, std::index_sequence_for<Ts...>(),
                          sources...);
    return combiner;
  }

  explicit FCombine(Passkey /*unused*/)
      : queue_("Combine" + std::to_string(sizeof...(Ts)) + ".Serial"),
        final_(Future<Tuple>::promise()) {}
  FCombine(const FCombine&) = delete;
  FCombine& operator=(const FCombine&) = delete;
  ~FCombine() = default;

  // The joined outcome (a future without work of its own).
  const std::shared_ptr<Future<Tuple>>& final() const noexcept { return final_; }
  // The combiner's own serial queue.
  const DispatchQueue& queue() const noexcept { return queue_; }

 private:
  template <std::size_t... I>
  void registerAll(const DispatchQueue& queue, std::index_sequence<I...> /*unused*/,
                   const std::shared_ptr<Future<Ts>>&... sources) {
    (registerOne<I>(queue, sources), ...);
  }

  template <std::size_t I, class V>
  void registerOne(const DispatchQueue& queue, const std::shared_ptr<Future<V>>& source) {
    const Pointer self = this->shared_from_this();
    source->onSuccess(self, queue, [](FCombine& combiner, const V& value) {
      combiner.template succeeded<I>(value);
    });
    source->onFailure(self, queue, [](FCombine& combiner, const Error& error) {
      combiner.final_->complete(error);
    });
  }

  template <std::size_t I, class V>
  void succeeded(const V& value) MORNIK_EXCLUDES(lock_) {
    std::optional<Tuple> all;
    {
      detail::ScopedLock<UnfairLock> guard(lock_);
      std::get<I>(successes_) = value;
      all = collectLocked(std::index_sequence_for<Ts...>());
    }
    if (all) final_->complete(std::move(*all));
  }

  template <std::size_t... I>
  std::optional<Tuple> collectLocked(std::index_sequence<I...> /*unused*/) const
      MORNIK_REQUIRES(lock_) {
    if (!(std::get<I>(successes_).has_value() && ...)) return std::nullopt;
    return Tuple(*std::get<I>(successes_)...);
  }

  const DispatchQueue queue_;
  const std::shared_ptr<Future<Tuple>> final_;
  UnfairLock lock_;
  std::tuple<std::optional<Ts>...> successes_ MORNIK_GUARDED_BY(lock_);
};

template <class A, class B>
using FCombine2 = FCombine<A, B>;
template <class A, class B, class C>
using FCombine3 = FCombine<A, B, C>;

}  // namespace mornik::Flow
