#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <concepts>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

// Free operations on ordered collections, sequences and enumerations with a
// fixed list of cases: safe and wrapping access by position, membership tests
// over several values, de-duplication, chunking, grouping into dictionaries
// and circular stepping.
//
//   std::vector<int> v{3, 1, 3, 2, 1};
//   mornik::distinct(v);                     // {3, 1, 2}
//   mornik::safe(v, 9);                      // std::nullopt
//   mornik::infinityIdx(v, -1);              // 1 (the last element)
//   mornik::chunkedBy(v, 2);                 // {{3, 1}, {3, 2}, {1}}
//   mornik::circleIterationNext(v, 1);       // 3 (wraps around)
//
// Positions are 0-based integer offsets. Operations that return slices return
// std::span views into the argument: they are valid while it is alive and
// unchanged. Text is not a collection here: the string operations of
// StringUtils.hpp count characters, not bytes.
//
// Thread safety: every operation is a pure function of its arguments (apart
// from randomElements' generator) and may be called from any thread; the
// caller keeps the arguments unchanged during the call.
// Errors: caller errors (an empty collection for infinityIdx, a chunk count
// of 0) are checked by assertions in debug builds.

namespace mornik {

// The half-open integer range lower..<upper.
struct IndexRange {
  std::ptrdiff_t lower = 0;
  std::ptrdiff_t upper = 0;
};

// The closed integer range lower...upper.
struct ClosedIndexRange {
  std::ptrdiff_t lower = 0;
  std::ptrdiff_t upper = 0;
};

namespace detail {

template <class C>
concept TextValue = std::is_convertible_v<const C&, std::string_view>;

// A collection with integer positions: vectors, arrays, spans, deques; not text.
template <class C>
concept PositionalCollection =
    std::ranges::random_access_range<const C> && std::ranges::sized_range<const C> && !TextValue<C>;

template <class C>
concept ContiguousCollection = PositionalCollection<C> && std::ranges::contiguous_range<const C>;

template <class T>
concept Hashable = requires(const T& value) {
  { std::hash<T>{}(value) } -> std::convertible_to<std::size_t>;
};

template <class C>
using ElementOf = std::ranges::range_value_t<C>;

template <class C>
std::ptrdiff_t countOf(const C& c) {
  return static_cast<std::ptrdiff_t>(std::ranges::size(c));
}

// Hashes and compares elements through pointers, so that a seen-set does not
// copy the elements.
template <class T>
struct PointeeHash {
  std::size_t operator()(const T* value) const { return std::hash<T>{}(*value); }
};
template <class T>
struct PointeeEqual {
  bool operator()(const T* a, const T* b) const { return *a == *b; }
};

std::mt19937_64& threadRandomGenerator();

// a + b and a * b clamped to the range of T instead of overflowing, for
// positions and lengths that callers may pass at the extremes of their type.
template <std::signed_integral T>
constexpr T addSaturating(T a, T b) {
  T out{};
  if (__builtin_add_overflow(a, b, &out)) {
    return b > 0 ? std::numeric_limits<T>::max() : std::numeric_limits<T>::min();
  }
  return out;
}
template <std::signed_integral T>
constexpr T mulSaturating(T a, T b) {
  T out{};
  if (__builtin_mul_overflow(a, b, &out)) {
    return (a < 0) == (b < 0) ? std::numeric_limits<T>::max() : std::numeric_limits<T>::min();
  }
  return out;
}

}  // namespace detail

// ---- Access ----

// The element at `index`, or nothing when it is not a valid position.
template <detail::PositionalCollection C>
std::optional<detail::ElementOf<C>> safe(const C& c, std::ptrdiff_t index) {
  if (index < 0 || index >= detail::countOf(c)) return std::nullopt;
  return std::ranges::begin(c)[index];
}

// The elements at the valid positions among `indexes`, in the order given.
template <detail::PositionalCollection C, std::ranges::input_range L>
  requires std::integral<std::ranges::range_value_t<L>>
std::vector<detail::ElementOf<C>> safeIdxs(const C& c, const L& indexes) {
  std::vector<detail::ElementOf<C>> out;
  const auto count = detail::countOf(c);
  for (const auto index : indexes) {
    const auto i = static_cast<std::ptrdiff_t>(index);
    if (i >= 0 && i < count) out.push_back(std::ranges::begin(c)[i]);
  }
  return out;
}
template <detail::PositionalCollection C>
std::vector<detail::ElementOf<C>> safeIdxs(const C& c,
                                           std::initializer_list<std::ptrdiff_t> indexes) {
  return safeIdxs(c, std::span<const std::ptrdiff_t>(indexes.begin(), indexes.size()));
}
template <detail::PositionalCollection C>
std::vector<detail::ElementOf<C>> safeIdxs(const C& c, IndexRange range) {
  std::vector<detail::ElementOf<C>> out;
  const auto lower = std::max<std::ptrdiff_t>(range.lower, 0);
  const auto upper = std::min(range.upper, detail::countOf(c));
  for (auto i = lower; i < upper; ++i) out.push_back(std::ranges::begin(c)[i]);
  return out;
}
template <detail::PositionalCollection C>
std::vector<detail::ElementOf<C>> safeIdxs(const C& c, ClosedIndexRange range) {
  if (range.upper < range.lower) return {};
  return safeIdxs(c,
                  IndexRange{range.lower, detail::addSaturating<std::ptrdiff_t>(range.upper, 1)});
}

// The element at the wrapping position of i: i mod count for i >= 0,
// (count + i) mod count for negative i. Requires a non-empty collection and
// i >= -count.
template <detail::PositionalCollection C>
decltype(auto) infinityIdx(C&& c, std::ptrdiff_t i) {
  const auto count = detail::countOf(c);
  assert(count > 0 && "infinityIdx on an empty collection");
  assert(i >= -count && "infinityIdx below -count");
  const auto position = i >= 0 ? i % count : (count + i) % count;
  return std::ranges::begin(c)[position];
}

// The offset of the first element passing `test`, or nothing.
template <std::ranges::input_range C, class Test>
std::optional<std::ptrdiff_t> firstIndexInt(const C& c, Test&& test) {
  std::ptrdiff_t i = 0;
  for (const auto& element : c) {
    if (std::invoke(test, element)) return i;
    ++i;
  }
  return std::nullopt;
}

// The first (last) n elements, clamped to the length.
template <detail::ContiguousCollection C>
auto first(const C& c, std::ptrdiff_t n) {
  using T = std::remove_reference_t<std::ranges::range_reference_t<const C>>;
  const auto k = std::clamp<std::ptrdiff_t>(n, 0, detail::countOf(c));
  return std::span<T>(std::ranges::data(c), static_cast<std::size_t>(k));
}
template <detail::ContiguousCollection C>
auto last(const C& c, std::ptrdiff_t n) {
  using T = std::remove_reference_t<std::ranges::range_reference_t<const C>>;
  const auto count = detail::countOf(c);
  const auto k = std::clamp<std::ptrdiff_t>(n, 0, count);
  return std::span<T>(std::ranges::data(c) + (count - k), static_cast<std::size_t>(k));
}

// Positions a through b, clamped to the collection.
template <detail::ContiguousCollection C>
auto take(const C& c, ClosedIndexRange range) {
  using T = std::remove_reference_t<std::ranges::range_reference_t<const C>>;
  const auto lower = std::max<std::ptrdiff_t>(range.lower, 0);
  const auto upper =
      std::min(detail::addSaturating<std::ptrdiff_t>(range.upper, 1), detail::countOf(c));
  if (upper <= lower) return std::span<T>();
  return std::span<T>(std::ranges::data(c) + lower, static_cast<std::size_t>(upper - lower));
}

// A copy of a slice (or any range) as a new array.
template <std::ranges::input_range R>
std::vector<std::remove_cv_t<std::ranges::range_value_t<R>>> asArray(const R& slice) {
  return {std::ranges::begin(slice), std::ranges::end(slice)};
}

// Characters (one-character strings, or single bytes) joined into a string.
template <std::ranges::input_range R>
  requires(detail::TextValue<std::ranges::range_value_t<R>> ||
           std::same_as<std::ranges::range_value_t<R>, char>)
std::string asString(const R& characters) {
  std::string out;
  for (const auto& character : characters) {
    if constexpr (std::same_as<std::ranges::range_value_t<R>, char>) {
      out.push_back(character);
    } else {
      out.append(std::string_view(character));
    }
  }
  return out;
}

// ---- Tests ----

// Whether any element of `list` is in the collection; false for an empty list.
template <std::ranges::input_range C, std::ranges::input_range L>
  requires(!detail::TextValue<C>)
bool containsOneOf(const C& c, const L& list) {
  for (const auto& wanted : list) {
    if (std::ranges::find(c, wanted) != std::ranges::end(c)) return true;
  }
  return false;
}
template <std::ranges::input_range C>
  requires(!detail::TextValue<C>)
bool containsOneOf(const C& c, std::initializer_list<detail::ElementOf<C>> list) {
  return containsOneOf(c, std::span(list.begin(), list.size()));
}

// Whether every element of `list` is in the collection; true for an empty list.
template <std::ranges::input_range C, std::ranges::input_range L>
  requires(!detail::TextValue<C>)
bool containsAllOf(const C& c, const L& list) {
  for (const auto& wanted : list) {
    if (std::ranges::find(c, wanted) == std::ranges::end(c)) return false;
  }
  return true;
}
template <std::ranges::input_range C>
  requires(!detail::TextValue<C>)
bool containsAllOf(const C& c, std::initializer_list<detail::ElementOf<C>> list) {
  return containsAllOf(c, std::span(list.begin(), list.size()));
}

// Whether some element passes `test`.
template <std::ranges::input_range C, class Test>
bool atLeastOneSatisfy(const C& c, Test&& test) {
  return std::ranges::any_of(c, std::forward<Test>(test));
}

// ---- Building and changing arrays ----

// A new array with `e` appended; append in place. These operators live in
// namespace mornik: bring them in with `using mornik::operator+;`.
template <class T, class A>
std::vector<T, A> operator+(std::vector<T, A> a, const std::type_identity_t<T>& e) {
  a.push_back(e);
  return a;
}
template <class T, class A>
std::vector<T, A>& operator+=(std::vector<T, A>& a, const std::type_identity_t<T>& e) {
  a.push_back(e);
  return a;
}

template <class T, class A>
std::vector<T, A> appending(std::vector<T, A> a, const std::type_identity_t<T>& e) {
  a.push_back(e);
  return a;
}
template <class T, class A, std::ranges::input_range L>
std::vector<T, A> appendingContentsOf(std::vector<T, A> a, const L& list) {
  a.insert(a.end(), std::ranges::begin(list), std::ranges::end(list));
  return a;
}

// New arrays with the element(s) inserted before position i (0...count).
template <class T, class A>
std::vector<T, A> inserting(std::vector<T, A> a, const std::type_identity_t<T>& e,
                            std::ptrdiff_t i) {
  assert(i >= 0 && i <= static_cast<std::ptrdiff_t>(a.size()) && "inserting out of range");
  a.insert(a.begin() + i, e);
  return a;
}
template <class T, class A, std::ranges::input_range L>
std::vector<T, A> insertingContentsOf(std::vector<T, A> a, const L& list, std::ptrdiff_t i) {
  assert(i >= 0 && i <= static_cast<std::ptrdiff_t>(a.size()) && "inserting out of range");
  a.insert(a.begin() + i, std::ranges::begin(list), std::ranges::end(list));
  return a;
}

// Removes the first element that passes `test`; true when one was removed.
template <class T, class A, class Test>
bool removeFirst(std::vector<T, A>& a, Test&& test) {
  const auto found = std::ranges::find_if(a, std::forward<Test>(test));
  if (found == a.end()) return false;
  a.erase(found);
  return true;
}

// Removes the first element equal to `item`; true when one was removed.
template <class T, class A>
bool remove(std::vector<T, A>& a, const std::type_identity_t<T>& item) {
  const auto found = std::ranges::find(a, item);
  if (found == a.end()) return false;
  a.erase(found);
  return true;
}

// A new array in which every element equal to x is y.
template <class T, class A>
std::vector<T, A> replacingAllValues(std::vector<T, A> a, const std::type_identity_t<T>& x,
                                     const std::type_identity_t<T>& y) {
  std::ranges::replace(a, x, y);
  return a;
}

// The elements in first-seen order, later duplicates dropped (hashable
// elements; a seen-set decides).
template <std::ranges::input_range C>
  requires detail::Hashable<detail::ElementOf<C>>
std::vector<detail::ElementOf<C>> distinct(const C& c) {
  using T = detail::ElementOf<C>;
  std::unordered_set<const T*, detail::PointeeHash<T>, detail::PointeeEqual<T>> seen;
  std::vector<T> out;
  for (const auto& element : c) {
    if (seen.insert(&element).second) out.push_back(element);
  }
  return out;
}

// distinct(), in place.
template <class T, class A>
  requires detail::Hashable<T>
void removeDuplicates(std::vector<T, A>& a) {
  a = distinct(a);
}

// distinct() for elements that only compare for equality (a linear search of
// the kept elements: quadratic).
template <std::ranges::input_range C>
std::vector<detail::ElementOf<C>> distinctAlter(const C& c) {
  std::vector<detail::ElementOf<C>> out;
  for (const auto& element : c) {
    if (std::ranges::find(out, element) == out.end()) out.push_back(element);
  }
  return out;
}

// The first element for each distinct value of `key` (a member pointer or a
// function of the element).
template <std::ranges::input_range C, class Key>
std::vector<detail::ElementOf<C>> distinct(const C& c, Key&& key) {
  using K = std::remove_cvref_t<std::invoke_result_t<Key&, const detail::ElementOf<C>&>>;
  std::unordered_set<K> seen;
  std::vector<detail::ElementOf<C>> out;
  for (const auto& element : c) {
    if (seen.insert(std::invoke(key, element)).second) out.push_back(element);
  }
  return out;
}

// Consecutive chunks of `size` elements, the last one shorter when the count
// is not a multiple. A size of 0 or less gives no chunks.
template <detail::PositionalCollection C>
std::vector<std::vector<detail::ElementOf<C>>> chunkedBy(const C& c, std::ptrdiff_t size) {
  std::vector<std::vector<detail::ElementOf<C>>> out;
  if (size <= 0) return out;
  const auto count = detail::countOf(c);
  const auto begin = std::ranges::begin(c);
  for (std::ptrdiff_t at = 0; at < count;) {
    const auto length = std::min(size, count - at);
    out.emplace_back(begin + at, begin + at + length);
    at += length;
  }
  return out;
}

// chunkedBy(count / n) (integer division, so fewer than n elements give no
// chunks). n = 0 is a caller error.
template <detail::PositionalCollection C>
std::vector<std::vector<detail::ElementOf<C>>> chunkedInto(const C& c, std::ptrdiff_t n) {
  assert(n != 0 && "chunkedInto(0)");
  if (n == 0) return {};
  return chunkedBy(c, detail::countOf(c) / n);
}

// Consecutive slices of n elements (the last one shorter), as views into the
// array. n <= 0 is a caller error.
template <detail::ContiguousCollection C>
auto splitBy(const C& c, std::ptrdiff_t n) {
  using T = std::remove_reference_t<std::ranges::range_reference_t<const C>>;
  assert(n > 0 && "splitBy needs a positive slice length");
  std::vector<std::span<T>> out;
  if (n <= 0) return out;
  const auto count = detail::countOf(c);
  for (std::ptrdiff_t at = 0; at < count;) {
    const auto length = std::min(n, count - at);
    out.emplace_back(std::ranges::data(c) + at, static_cast<std::size_t>(length));
    at += length;
  }
  return out;
}

// n uniform random draws with repetition, collected in a set: at most n
// distinct elements, in no particular order. The collection must not be
// empty when n > 0. Without a generator, a per-thread std::mt19937_64 seeded
// from std::random_device is used.
template <detail::PositionalCollection C, std::uniform_random_bit_generator G>
  requires detail::Hashable<detail::ElementOf<C>>
std::unordered_set<detail::ElementOf<C>> randomElements(const C& c, std::ptrdiff_t n,
                                                        G& generator) {
  std::unordered_set<detail::ElementOf<C>> out;
  const auto count = detail::countOf(c);
  assert((n <= 0 || count > 0) && "randomElements from an empty collection");
  if (count == 0) return out;
  std::uniform_int_distribution<std::ptrdiff_t> pick(0, count - 1);
  // Once every distinct element has been drawn further draws change nothing,
  // so a huge n ends there.
  const auto distinctCount = n > count ? std::ssize(std::unordered_set<detail::ElementOf<C>>(
                                             std::ranges::begin(c), std::ranges::end(c)))
                                       : count;
  for (std::ptrdiff_t draw = 0; draw < n && std::ssize(out) < distinctCount; ++draw) {
    out.insert(std::ranges::begin(c)[pick(generator)]);
  }
  return out;
}
template <detail::PositionalCollection C>
  requires detail::Hashable<detail::ElementOf<C>>
std::unordered_set<detail::ElementOf<C>> randomElements(const C& c, std::ptrdiff_t n) {
  return randomElements(c, n, detail::threadRandomGenerator());
}

// The sum of `value(element)` over the elements, starting from zero.
template <std::ranges::input_range C, class F>
auto sum(const C& c, F&& value) {
  using R = std::remove_cvref_t<std::invoke_result_t<F&, const detail::ElementOf<C>&>>;
  R total{};
  for (const auto& element : c) total += std::invoke(value, element);
  return total;
}

// The texts `text(element)` concatenated without separator.
template <std::ranges::input_range C, class F>
std::string join(const C& c, F&& text) {
  std::string out;
  for (const auto& element : c) out += std::invoke(text, element);
  return out;
}

// Walks both arrays side by side up to the longer length, calling
// `mapper(const T*, const U*)` with a null pointer where one array has run
// out, and collects the results.
template <detail::PositionalCollection C, detail::PositionalCollection D, class F>
auto mapTo(const C& c, const D& other, F&& mapper) {
  using T = detail::ElementOf<C>;
  using U = detail::ElementOf<D>;
  using R = std::remove_cvref_t<std::invoke_result_t<F&, const T*, const U*>>;
  const auto a = detail::countOf(c);
  const auto b = detail::countOf(other);
  std::vector<R> out;
  out.reserve(static_cast<std::size_t>(std::max(a, b)));
  for (std::ptrdiff_t i = 0; i < std::max(a, b); ++i) {
    const T* left = i < a ? &std::ranges::begin(c)[i] : nullptr;
    const U* right = i < b ? &std::ranges::begin(other)[i] : nullptr;
    out.push_back(std::invoke(mapper, left, right));
  }
  return out;
}

namespace detail {
template <class T, class F>
void flattenInto(std::vector<T>& out, const T& element, F& children) {
  out.push_back(element);
  for (const auto& child : std::invoke(children, element)) flattenInto(out, child, children);
}
}  // namespace detail

// Depth-first flattening: each element followed by the recursive flattening
// of `children(element)` (a range of elements).
template <std::ranges::input_range C, class F>
std::vector<detail::ElementOf<C>> recursiveFlatMap(const C& c, F&& children) {
  std::vector<detail::ElementOf<C>> out;
  for (const auto& element : c) detail::flattenInto(out, element, children);
  return out;
}

// ---- Dictionaries from sequences ----
// Keys must be hashable; the dictionaries are std::unordered_map.

// key(element) -> element; a later element with the same key replaces the
// earlier one.
template <std::ranges::input_range C, class KeyF>
auto toDictionary(const C& c, KeyF&& key) {
  using T = detail::ElementOf<C>;
  using K = std::remove_cvref_t<std::invoke_result_t<KeyF&, const T&>>;
  std::unordered_map<K, T> out;
  for (const auto& element : c) out.insert_or_assign(std::invoke(key, element), element);
  return out;
}

// key(element) -> value(element); `key` may be a member pointer.
template <std::ranges::input_range C, class KeyF, class ValueF>
auto toDictionary(const C& c, KeyF&& key, ValueF&& value) {
  using T = detail::ElementOf<C>;
  using K = std::remove_cvref_t<std::invoke_result_t<KeyF&, const T&>>;
  using V = std::remove_cvref_t<std::invoke_result_t<ValueF&, const T&>>;
  std::unordered_map<K, V> out;
  for (const auto& element : c) {
    out.insert_or_assign(std::invoke(key, element), std::invoke(value, element));
  }
  return out;
}

// key(element) -> every element with that key, in sequence order.
template <std::ranges::input_range C, class KeyF>
auto toDictionaryGroupedBy(const C& c, KeyF&& key) {
  using T = detail::ElementOf<C>;
  using K = std::remove_cvref_t<std::invoke_result_t<KeyF&, const T&>>;
  std::unordered_map<K, std::vector<T>> out;
  for (const auto& element : c) out[std::invoke(key, element)].push_back(element);
  return out;
}

// The same grouping as toDictionaryGroupedBy.
template <std::ranges::input_range C, class KeyF>
auto group(const C& c, KeyF&& by) {
  return toDictionaryGroupedBy(c, std::forward<KeyF>(by));
}

// Grouping key from `by`, grouped values from `value` (a member pointer, the
// projected part, or a function of the element).
template <std::ranges::input_range C, class KeyF, class ValueF>
auto group(const C& c, KeyF&& by, ValueF&& value) {
  using T = detail::ElementOf<C>;
  using K = std::remove_cvref_t<std::invoke_result_t<KeyF&, const T&>>;
  using V = std::remove_cvref_t<std::invoke_result_t<ValueF&, const T&>>;
  std::unordered_map<K, std::vector<V>> out;
  for (const auto& element : c) {
    out[std::invoke(by, element)].push_back(std::invoke(value, element));
  }
  return out;
}

// ---- Circular stepping ----

// The element after the first occurrence of x, wrapping from the last to the
// first; nothing when x is absent.
template <detail::PositionalCollection C>
std::optional<detail::ElementOf<C>> circleIterationNext(
    const C& c, const std::type_identity_t<detail::ElementOf<C>>& x) {
  const auto at = std::ranges::find(c, x);
  if (at == std::ranges::end(c)) return std::nullopt;
  const auto next = std::next(at);
  return next == std::ranges::end(c) ? *std::ranges::begin(c) : *next;
}

// The element before the first occurrence of x, wrapping from the first to
// the last; nothing when x is absent.
template <detail::PositionalCollection C>
std::optional<detail::ElementOf<C>> circleIterationPrev(
    const C& c, const std::type_identity_t<detail::ElementOf<C>>& x) {
  const auto at = std::ranges::find(c, x);
  if (at == std::ranges::end(c)) return std::nullopt;
  return at == std::ranges::begin(c) ? *std::prev(std::ranges::end(c)) : *std::prev(at);
}

// The fixed list of cases of an enumeration, in order, for the circular
// stepping operations. Specialize it next to the enumeration:
//
//   enum class Speed { slow, normal, fast };
//   template <> struct mornik::EnumCases<Speed> {
//     static constexpr std::array all{Speed::slow, Speed::normal, Speed::fast};
//   };
//   mornik::nextCircular(Speed::fast);  // Speed::slow
template <class E>
struct EnumCases;

template <class E>
concept CaseListEnum = std::is_enum_v<E> && requires {
  { EnumCases<E>::all.size() } -> std::convertible_to<std::size_t>;
  { EnumCases<E>::all[0] } -> std::convertible_to<E>;
};

namespace detail {
template <CaseListEnum E>
std::ptrdiff_t casePosition(E value) {
  const auto& all = EnumCases<E>::all;
  const auto at = std::ranges::find(all, value);
  assert(at != all.end() && "value missing from EnumCases<E>::all");
  return at - all.begin();
}
}  // namespace detail

// The next (previous) case of the list, wrapping around.
template <CaseListEnum E>
E nextCircular(E value) {
  const auto& all = EnumCases<E>::all;
  const auto n = static_cast<std::ptrdiff_t>(all.size());
  return all[static_cast<std::size_t>((detail::casePosition(value) + 1) % n)];
}
template <CaseListEnum E>
E prevCircular(E value) {
  const auto& all = EnumCases<E>::all;
  const auto n = static_cast<std::ptrdiff_t>(all.size());
  return all[static_cast<std::size_t>((detail::casePosition(value) + n - 1) % n)];
}

// The next (previous) case, or nothing at the last (first) case.
template <CaseListEnum E>
std::optional<E> next(E value) {
  const auto& all = EnumCases<E>::all;
  const auto at = detail::casePosition(value) + 1;
  if (at >= static_cast<std::ptrdiff_t>(all.size())) return std::nullopt;
  return all[static_cast<std::size_t>(at)];
}
template <CaseListEnum E>
std::optional<E> prev(E value) {
  const auto at = detail::casePosition(value);
  if (at == 0) return std::nullopt;
  return EnumCases<E>::all[static_cast<std::size_t>(at - 1)];
}

}  // namespace mornik

MORNIK_EXPORTS_END
