#pragma once

#include <type_traits>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {

// Value types that a combinator joins into a tuple: two or more, none void.
template <class... T>
concept JoinableValues = sizeof...(T) >= 2 && (!std::is_void_v<T> && ...);

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
