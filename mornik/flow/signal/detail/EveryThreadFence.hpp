#pragma once

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// Whether fenceEveryThread() makes every thread of the process execute a
// full memory barrier (the kernel's private expedited membarrier); decided
// once, on first use.
bool fencesEveryThread() noexcept;
// That barrier, or where there is none a full fence of the calling thread
// only. Costly (microseconds): for rare events such as a release. A thread
// that pairs with it needs only a compiler barrier between its store and its
// load where fencesEveryThread() holds.
void fenceEveryThread() noexcept;

}  // namespace mornik::detail

MORNIK_EXPORTS_END
