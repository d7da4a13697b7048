#pragma once

#include <concepts>
#include <cstddef>
#include <optional>
#include <ostream>
#include <ranges>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "mornik/base/Export.hpp"
#include "mornik/base/TypeName.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Text in double quotes, with backslash, quote and control characters escaped.
std::string quoted(std::string_view text);

// The shortest text that reads back as the same double; always shows it is a
// floating-point number ("1.0", "0.1", "1e+16", "inf", "nan").
std::string describeDouble(double value);

// Customization point for the printed form of a type of your own (the
// alternative is an operator<< found by argument-dependent lookup):
//
//   template <> struct mornik::Describer<Money> {
//     static std::string describe(const Money& m) { return m.text(); }
//   };
template <class T>
struct Describer;

namespace detail {

template <class T>
concept HasDescriber = requires(const T& value) {
  { Describer<T>::describe(value) } -> std::convertible_to<std::string>;
};

template <class T>
concept Streamable = requires(std::ostream& out, const T& value) { out << value; };

template <class T>
concept TextLike =
    std::is_convertible_v<const T&, std::string_view> && !std::is_same_v<T, std::nullptr_t>;

template <class T>
concept MapLike = std::ranges::input_range<const T> && requires {
  typename T::key_type;
  typename T::mapped_type;
};

template <class T>
concept TupleLike = requires { std::tuple_size<T>::value; } && !std::ranges::range<T>;

template <class T>
inline constexpr bool kIsOptional = false;
template <class T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

template <bool Nested, class T>
std::string describeValue(const T& value);

template <class Tuple, std::size_t... I>
std::string describeTuple(const Tuple& tuple, std::index_sequence<I...>) {
  std::string text = "(";
  ((text += (I == 0 ? "" : ", "), text += describeValue<true>(std::get<I>(tuple))), ...);
  return text + ")";
}

template <bool Nested, class T>
std::string describeValue(const T& value) {
  if constexpr (HasDescriber<T>) {
    return Describer<T>::describe(value);
  } else if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else if constexpr (std::is_same_v<T, char>) {
    return Nested ? quoted(std::string_view(&value, 1)) : std::string(1, value);
  } else if constexpr (std::is_integral_v<T>) {
    return std::to_string(value);
  } else if constexpr (std::is_floating_point_v<T>) {
    return describeDouble(static_cast<double>(value));
  } else if constexpr (std::is_same_v<T, std::monostate>) {
    return "()";
  } else if constexpr (TextLike<T>) {
    const std::string_view text = value;
    return Nested ? quoted(text) : std::string(text);
  } else if constexpr (kIsOptional<T>) {
    return value ? "Optional(" + describeValue<true>(*value) + ")" : "nil";
  } else if constexpr (TupleLike<T>) {
    return describeTuple(value, std::make_index_sequence<std::tuple_size_v<T>>{});
  } else if constexpr (MapLike<T>) {
    if (std::ranges::empty(value)) return "[:]";
    std::string text = "[";
    bool first = true;
    for (const auto& [key, mapped] : value) {
      if (!first) text += ", ";
      first = false;
      text += describeValue<true>(key) + ": " + describeValue<true>(mapped);
    }
    return text + "]";
  } else if constexpr (Streamable<T>) {
    std::ostringstream out;
    out << value;
    return out.str();
  } else if constexpr (std::ranges::input_range<const T>) {
    std::string text = "[";
    bool first = true;
    for (const auto& element : value) {
      if (!first) text += ", ";
      first = false;
      text += describeValue<true>(element);
    }
    return text + "]";
  } else {
    return "<" + typeName<T>() + ">";
  }
}

}  // namespace detail

// The printed form of a value, as the library's console output shows it:
// text as is, numbers in decimal, optionals as "Optional(x)" or "nil",
// collections as "[a, b]" / "[k: v]" with text inside them quoted, tuples as
// "(a, b)"; otherwise a Describer specialization, an operator<<, or the
// type's name in angle brackets.
template <class T>
std::string describe(const T& value) {
  return detail::describeValue<false>(value);
}

// The printed form of a value inside a collection (text quoted).
template <class T>
std::string debugDescribe(const T& value) {
  return detail::describeValue<true>(value);
}

}  // namespace mornik

MORNIK_EXPORTS_END
