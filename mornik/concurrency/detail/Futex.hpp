#pragma once

#include <atomic>
#include <cstdint>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// Sleeps while `*word == expected`, at most `timeoutNs` nanoseconds when
// `timeoutNs >= 0` (a negative timeout waits without limit). Returns on a
// wake-up, a changed word, a signal or the timeout; callers re-check their
// condition in every case.
void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
               std::int64_t timeoutNs = -1) noexcept;

// Wakes up to `count` threads sleeping on `word`.
void futexWake(std::atomic<std::uint32_t>& word, int count) noexcept;

// One spin-wait step: a pause instruction where the processor has one.
inline void cpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

}  // namespace mornik::detail

MORNIK_EXPORTS_END
