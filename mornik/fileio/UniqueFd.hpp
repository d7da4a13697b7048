#pragma once

#include <cerrno>
#include <utility>

#include <unistd.h>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// An owned file descriptor, closed when its owner is destroyed or reset: the
// library's one descriptor wrapper. Move-only; -1 means none.
//
// Thread safety: one owner uses it at a time.
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

  // Gives the descriptor up without closing it.
  int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the descriptor held (if any) and holds `fd` instead.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Closes now and returns close's own error (errno), 0 when it succeeded or
  // nothing was held. The descriptor is released either way (on Linux even
  // when close fails), and EINTR counts as success for that reason.
  int close() noexcept {
    const int fd = release();
    if (fd < 0 || ::close(fd) == 0 || errno == EINTR) return 0;
    return errno;
  }

 private:
  int fd_ = -1;
};

}  // namespace mornik

MORNIK_EXPORTS_END
