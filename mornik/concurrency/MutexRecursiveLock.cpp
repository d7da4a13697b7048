#include "mornik/concurrency/MutexRecursiveLock.hpp"

#include <cerrno>

#include "mornik/base/Fatal.hpp"

namespace mornik {

MutexRecursiveLock::MutexRecursiveLock() : mutex_{} {
  pthread_mutexattr_t attributes{};
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  if (pthread_mutex_init(&mutex_, &attributes) != 0) {
    detail::fatal("MutexRecursiveLock: pthread_mutex_init failed");
  }
  pthread_mutexattr_destroy(&attributes);
}

MutexRecursiveLock::~MutexRecursiveLock() { pthread_mutex_destroy(&mutex_); }

void MutexRecursiveLock::lock() {
  // EAGAIN: the recursion count overflowed; there is no sane way to continue.
  if (pthread_mutex_lock(&mutex_) != 0) {
    detail::fatal("MutexRecursiveLock: pthread_mutex_lock failed (recursion too deep?)");
  }
}

void MutexRecursiveLock::unlock() {
  if (pthread_mutex_unlock(&mutex_) != 0) {
    detail::fatal("MutexRecursiveLock: unlock from a thread that does not hold the lock");
  }
}

bool MutexRecursiveLock::try_lock() {  // NOLINT(readability-identifier-naming)
  return pthread_mutex_trylock(&mutex_) == 0;
}

}  // namespace mornik
