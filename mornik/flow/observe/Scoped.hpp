#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/flow/observe/ObservableObject.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// Selects the registration form that returns a Subscription: the handler
// lasts as long as the Subscription, instead of as long as its source.
//
//   Subscription s = future->onSuccess(Flow::scoped, DispatchQueue::main(), show);
//   Subscription t = signal->onUpdate(Flow::scoped, view, [](View& v, int n) { v.set(n); });
//
// Releasing the Subscription (or cancel()) releases the block and what it
// captures; deliveries that start later do nothing. A delivery already
// running on another thread finishes first: it keeps the block alive until
// it returns, and the block goes then, on that thread. The source keeps
// only a small inert entry for the handler until it goes itself (sources
// never remove handlers). A Subscription may outlive its source.
struct Scoped {
  explicit Scoped() = default;
};
inline constexpr Scoped scoped{};

}  // namespace mornik::Flow

namespace mornik::detail {

// The handler's side of a scoped block: the block is owned by the
// Subscription and held here weakly, for the length of one call.
template <class F>
class ScopedBlock {
 public:
  explicit ScopedBlock(std::weak_ptr<F> block) noexcept : block_(std::move(block)) {}

  template <class... A>
    requires std::invocable<F&, A...>
  void operator()(A&&... arguments) const {
    if (const std::shared_ptr<F> block = block_.lock()) {
      std::invoke(*block, std::forward<A>(arguments)...);
    }
  }

 private:
  std::weak_ptr<F> block_;
};

// Calls `add(arguments...)` with the last argument (the block) replaced by
// its scoped form, and returns the Subscription that owns the block.
template <class Add, class... A>
Subscription registerScoped(Add&& add, A&&... arguments) {
  constexpr std::size_t kLast = sizeof...(A) - 1;
  auto all = std::forward_as_tuple(std::forward<A>(arguments)...);
  using F = std::decay_t<std::tuple_element_t<kLast, std::tuple<A...>>>;
  auto owned = std::make_shared<F>(std::get<kLast>(std::move(all)));
  ScopedBlock<F> scopedBlock{std::weak_ptr<F>(owned)};
  [&]<std::size_t... I>(std::index_sequence<I...> /*unused*/) {
    add(std::get<I>(std::move(all))..., std::move(scopedBlock));
  }(std::make_index_sequence<kLast>());
  return Subscription(std::move(owned));
}

}  // namespace mornik::detail

MORNIK_EXPORTS_END
