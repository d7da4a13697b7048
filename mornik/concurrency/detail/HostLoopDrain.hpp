#pragma once

// The main run loop's side of host loops (HostLoop.hpp). Internal.

#include <cstdint>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

struct HostLoopDrain {
  // Makes the host descriptor readable if a host is attached (else a load).
  static void signal() noexcept;
  // Main thread: drains a batch of the main queue unless a drain runs
  // already (nested), fires due timers; returns the next timer deadline on
  // the executor's clock and sets `moreQueued` if items remain.
  static std::int64_t drain(bool& moreQueued);
};

}  // namespace mornik::detail

MORNIK_EXPORTS_END
