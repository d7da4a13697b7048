#pragma once

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// Ends the process after a programming error the library cannot recover from
// (taking a non-recursive lock twice, a sync onto the current queue, ...).
// Prints "mornik: <message>" on standard error, then aborts.
[[noreturn]] void fatal(const char* message) noexcept;

}  // namespace mornik::detail

MORNIK_EXPORTS_END
