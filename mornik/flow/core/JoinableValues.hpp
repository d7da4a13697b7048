#pragma once

#include <type_traits>

namespace mornik::Flow {

// Value types that a combinator joins into a tuple: two or more, none void.
template <class... T>
concept JoinableValues = sizeof...(T) >= 2 && (!std::is_void_v<T> && ...);

}  // namespace mornik::Flow
