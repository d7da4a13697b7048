#pragma once

#include <functional>
#include <utility>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// An animated write: runs `body` (typically one property write) inside an
// animation transaction with the toolkit's default animation. The library
// has no animation toolkit, so the body runs as a plain call, at once, on
// the calling thread, and its result is returned.
//
//   mornik::withAnimation([&] { model.progress = 0.5; });
template <class F>
decltype(auto) withAnimation(F&& body) {
  return std::invoke(std::forward<F>(body));
}

}  // namespace mornik

MORNIK_EXPORTS_END
