#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string_view>

#include <sys/types.h>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/fileio/UniqueFd.hpp"
#include "mornik/log/BasicLogger.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {
class FdWatch;
}  // namespace mornik

namespace mornik::detail {

// The logger's file: kept open for appending, each text written with one
// write(), opened again at the path when the path changes or the file there
// is moved or deleted (an inotify descriptor on the descriptor watcher's
// thread notices that), set aside by the rotation rules.
//
// Thread safety: every member may be called from any thread.
class LogFile {
 public:
  LogFile();
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Appends `text` (whole lines) to the file at path(), which is opened
  // (created, with its folder, starting with a line feed) when needed.
  // `now` decides daily rotation. Failures are swallowed.
  void append(std::string_view text, std::chrono::system_clock::time_point now)
      MORNIK_EXCLUDES(mutex_);
  // Later lines go to `path`; false until a path is set.
  void setPath(const std::filesystem::path& path) MORNIK_EXCLUDES(mutex_);
  bool hasPath() const noexcept { return hasPath_.load(std::memory_order_acquire); }
  void setRotation(const LogRotation& rotation) MORNIK_EXCLUDES(mutex_);
  // Closes the file (writing to it has been turned off).
  void close() MORNIK_EXCLUDES(mutex_);

 private:
  bool open(std::chrono::system_clock::time_point now) MORNIK_REQUIRES(mutex_);
  void closeLocked() MORNIK_REQUIRES(mutex_);
  // Whether the file open is still the one at the path.
  bool stillAtPath() const MORNIK_REQUIRES(mutex_);
  void rotate() MORNIK_REQUIRES(mutex_);
  void watchPath() MORNIK_REQUIRES(mutex_);

  std::atomic<bool> hasPath_{false};
  UnfairLock mutex_;
  std::filesystem::path path_ MORNIK_GUARDED_BY(mutex_);
  UniqueFd fd_ MORNIK_GUARDED_BY(mutex_);
  dev_t device_ MORNIK_GUARDED_BY(mutex_) = 0;
  ino_t inode_ MORNIK_GUARDED_BY(mutex_) = 0;
  std::uint64_t size_ MORNIK_GUARDED_BY(mutex_) = 0;
  int day_ MORNIK_GUARDED_BY(mutex_) = 0;  // yyyymmdd the file was started on
  LogRotation rotation_ MORNIK_GUARDED_BY(mutex_);

  // The inotify descriptor (owned by its watch) and the watch descriptor of
  // the open file; `moved_` is set from the watcher's thread.
  int inotify_ MORNIK_GUARDED_BY(mutex_) = -1;
  int inotifyWatch_ MORNIK_GUARDED_BY(mutex_) = -1;
  std::shared_ptr<FdWatch> watch_ MORNIK_GUARDED_BY(mutex_);
  std::shared_ptr<std::atomic<bool>> moved_ = std::make_shared<std::atomic<bool>>(false);
};

// yyyymmdd of `time` in the local time zone.
int localDay(std::chrono::system_clock::time_point time);

}  // namespace mornik::detail

MORNIK_EXPORTS_END
