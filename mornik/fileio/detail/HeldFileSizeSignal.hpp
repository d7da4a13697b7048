#pragma once

#include <cerrno>
#include <csignal>
#include <ctime>

#include <pthread.h>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// Holds SIGXFSZ back from the calling thread for the life of the object, so
// that a write past RLIMIT_FSIZE fails with EFBIG (which the writer reports)
// instead of the signal ending the process. A SIGXFSZ raised meanwhile is
// taken off again before the old mask returns; one that was already pending
// stays pending. (A SIGXFSZ another process sends during a write would be
// taken off too: nobody sends that signal on purpose.)
class HeldFileSizeSignal {
 public:
  HeldFileSizeSignal() noexcept {
    sigemptyset(&signal_);
    sigaddset(&signal_, SIGXFSZ);
    pthread_sigmask(SIG_BLOCK, &signal_, &previous_);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGXFSZ) == 1;
  }
  ~HeldFileSizeSignal() {
    const int savedErrno = errno;
    sigset_t pending;
    if (!wasPending_ && sigpending(&pending) == 0 && sigismember(&pending, SIGXFSZ) == 1) {
      const timespec now{};
      while (sigtimedwait(&signal_, nullptr, &now) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    errno = savedErrno;
  }
  HeldFileSizeSignal(const HeldFileSizeSignal&) = delete;
  HeldFileSizeSignal& operator=(const HeldFileSizeSignal&) = delete;

 private:
  sigset_t signal_;
  sigset_t previous_;
  bool wasPending_ = false;
};

}  // namespace mornik::detail

MORNIK_EXPORTS_END
