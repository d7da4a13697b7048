#include "mornik/concurrency/detail/Futex.hpp"

#include <ctime>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace mornik::detail {

void futexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
               std::int64_t timeoutNs) noexcept {
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
  timespec timeout{};
  timespec* timeoutArg = nullptr;
  if (timeoutNs >= 0) {
    timeout.tv_sec = static_cast<time_t>(timeoutNs / 1'000'000'000);
    timeout.tv_nsec = static_cast<long>(timeoutNs % 1'000'000'000);
    timeoutArg = &timeout;
  }
  // FUTEX_WAIT measures a relative timeout on the monotonic clock.
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            timeoutArg, nullptr, 0);
}

void futexWake(std::atomic<std::uint32_t>& word, int count) noexcept {
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr,
            nullptr, 0);
}

}  // namespace mornik::detail
