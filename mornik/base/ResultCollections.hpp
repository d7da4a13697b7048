#pragma once

#include <concepts>
#include <cstddef>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <ranges>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The outcome of a "catching" walk over a collection: the error each failing
// element produced, keyed by the element, and the accumulated successes.
template <class T, class R>
struct ResultCatch {
  std::unordered_map<T, Error> errors;
  R results;
};

// A shared accumulator for building an array of successes, created with room
// for the expected number of elements.
template <class T>
class ArrayWrapper {
 public:
  explicit ArrayWrapper(std::size_t capacity) { array.reserve(capacity); }

  std::vector<T> array;
};

// A source of items that may fail: `next()` yields success(value) for an
// item, success(nullopt) at the end, or a failure.
template <class S>
class ResultIterator {
 public:
  using Success = S;

  virtual ~ResultIterator() = default;
  virtual Result<std::optional<S>> next() = 0;

  // Calls next() until the end or the first failure: the failure if it
  // stopped at one, else success with every item in order (maybe none).
  Result<std::vector<S>> all() {
    std::vector<S> items;
    for (;;) {
      Result<std::optional<S>> step = next();
      if (step.isFailure()) return step.error();
      std::optional<S> item = std::move(step).value();
      if (!item) return items;
      items.push_back(std::move(*item));
    }
  }

 protected:
  ResultIterator() = default;
  ResultIterator(const ResultIterator&) = default;
  ResultIterator& operator=(const ResultIterator&) = default;
};

namespace detail {
template <class T>
inline constexpr bool kIsVector = false;
template <class T, class A>
inline constexpr bool kIsVector<std::vector<T, A>> = true;
template <class R>
using ResultSuccess = typename ResultTraits<std::remove_cvref_t<R>>::Success;
template <class Range>
using ElementRef = std::ranges::range_reference_t<const Range>;
}  // namespace detail

// Folds left to right with a fallible step and stops at the first failure,
// returning it; an empty collection yields success(initial).
template <std::ranges::input_range Range, class R, class F>
  requires std::invocable<F&, const R&, detail::ElementRef<Range>> &&
           IsResult<std::invoke_result_t<F&, const R&, detail::ElementRef<Range>>>
Result<R> reduce(const Range& elements, R initial, F&& next) {
  R accumulator = std::move(initial);
  for (auto&& element : elements) {
    auto step = std::invoke(next, std::as_const(accumulator), element);
    if (step.isFailure()) return step.error();
    accumulator = std::move(step).value();
  }
  return accumulator;
}

// Maps every element with a fallible block, in order, and stops at the first
// failure; on success the values in input order.
template <std::ranges::input_range Range, class F>
  requires std::invocable<F&, detail::ElementRef<Range>> &&
           IsResult<std::invoke_result_t<F&, detail::ElementRef<Range>>>
auto flatMap(const Range& elements, F&& block) -> Result<
    std::vector<detail::ResultSuccess<std::invoke_result_t<F&, detail::ElementRef<Range>>>>> {
  using R = detail::ResultSuccess<std::invoke_result_t<F&, detail::ElementRef<Range>>>;
  std::vector<R> values;
  if constexpr (std::ranges::sized_range<const Range>) values.reserve(std::ranges::size(elements));
  for (auto&& element : elements) {
    auto step = std::invoke(block, element);
    if (step.isFailure()) return step.error();
    values.push_back(std::move(step).value());
  }
  return values;
}

// Visits every element in order, never stopping: a success replaces the
// accumulator, a failure is recorded under its element and leaves the
// accumulator as it was.
template <std::ranges::input_range Range, class R, class F>
  requires std::invocable<F&, const R&, detail::ElementRef<Range>> &&
           IsResult<std::invoke_result_t<F&, const R&, detail::ElementRef<Range>>>
ResultCatch<std::ranges::range_value_t<Range>, R> reduceCatch(const Range& elements, R initial,
                                                              F&& block) {
  ResultCatch<std::ranges::range_value_t<Range>, R> outcome{{}, std::move(initial)};
  for (auto&& element : elements) {
    auto step = std::invoke(block, std::as_const(outcome.results), element);
    if (step.isFailure()) {
      outcome.errors.insert_or_assign(element, step.error());
    } else {
      outcome.results = std::move(step).value();
    }
  }
  return outcome;
}

// Tries every element: successes are collected in input order, failures
// recorded under their element.
template <std::ranges::input_range Range, class F>
  requires std::invocable<F&, detail::ElementRef<Range>> &&
           IsResult<std::invoke_result_t<F&, detail::ElementRef<Range>>>
auto flatMapCatch(const Range& elements, F&& block) {
  using R = detail::ResultSuccess<std::invoke_result_t<F&, detail::ElementRef<Range>>>;
  using E = std::ranges::range_value_t<Range>;
  std::size_t expected = 0;
  if constexpr (std::ranges::sized_range<const Range>) expected = std::ranges::size(elements);
  auto successes = std::make_shared<ArrayWrapper<R>>(expected);
  ResultCatch<E, std::vector<R>> outcome;
  for (auto&& element : elements) {
    auto step = std::invoke(block, element);
    if (step.isFailure()) {
      outcome.errors.insert_or_assign(element, step.error());
    } else {
      successes->array.push_back(std::move(step).value());
    }
  }
  outcome.results = std::move(successes->array);
  return outcome;
}

// `vector | block`:
// - a block returning a Result is `flatMap` (stops at the first failure);
// - a block returning a vector concatenates the returned vectors;
// - any other block maps the elements.
// The operator lives in namespace mornik: outside it, bring it in with
// `using mornik::operator|;`.
template <class E, class A, class F>
  requires std::invocable<F&, const E&> && (!std::is_void_v<std::invoke_result_t<F&, const E&>>)
auto operator|(const std::vector<E, A>& elements, F&& block) {
  using U = std::remove_cvref_t<std::invoke_result_t<F&, const E&>>;
  if constexpr (IsResult<U>) {
    return flatMap(elements, block);
  } else if constexpr (detail::kIsVector<U>) {
    U joined;
    for (const auto& element : elements) {
      U part = std::invoke(block, element);
      joined.insert(joined.end(), std::make_move_iterator(part.begin()),
                    std::make_move_iterator(part.end()));
    }
    return joined;
  } else {
    std::vector<U> mapped;
    mapped.reserve(elements.size());
    for (const auto& element : elements) mapped.push_back(std::invoke(block, element));
    return mapped;
  }
}

}  // namespace mornik

MORNIK_EXPORTS_END
