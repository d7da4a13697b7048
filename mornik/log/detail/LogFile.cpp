#include "mornik/log/detail/LogFile.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mornik/reactor/FdWatcher.hpp"

namespace mornik::detail {

namespace {

constexpr std::uint32_t kGoneEvents = IN_ATTRIB | IN_MOVE_SELF | IN_DELETE_SELF;

// Writes all of `text`, continuing after a short write or a signal.
bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t wrote = ::write(fd, text.data(), text.size());
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

// "<stem>-YYYY-MM-DD-" for a file set aside that was started on `day`.
std::string asidePrefix(const std::filesystem::path& path, int day) {
  std::array<char, 16> date{};
  std::snprintf(date.data(), date.size(), "%04d-%02d-%02d", day / 10000, day / 100 % 100,
                day % 100);
  return path.stem().string() + "-" + date.data() + "-";
}

// Whether `name` is "<stem>-YYYY-MM-DD-NNN<ext>" for the log file `path`.
bool isAsideName(const std::string& name, const std::filesystem::path& path) {
  const std::string stem = path.stem().string() + "-";
  const std::string ext = path.extension().string();
  constexpr std::size_t kDateAndNumber = 14;  // "YYYY-MM-DD-NNN"
  if (name.size() != stem.size() + kDateAndNumber + ext.size()) return false;
  if (name.compare(0, stem.size(), stem) != 0) return false;
  if (name.compare(name.size() - ext.size(), ext.size(), ext) != 0) return false;
  const std::string middle = name.substr(stem.size(), kDateAndNumber);
  for (std::size_t i = 0; i < middle.size(); ++i) {
    const bool dash = i == 4 || i == 7 || i == 10;
    if (dash ? middle[i] != '-' : (middle[i] < '0' || middle[i] > '9')) return false;
  }
  return true;
}

}  // namespace

int localDay(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  ::localtime_r(&seconds, &local);
  return (local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday;
}

LogFile::LogFile() = default;

LogFile::~LogFile() {
  const ScopedLock<UnfairLock> lock(mutex_);
  closeLocked();
  if (watch_) watch_->cancel();
}

void LogFile::setRotation(const LogRotation& rotation) {
  const ScopedLock<UnfairLock> lock(mutex_);
  rotation_ = rotation;
}

void LogFile::close() {
  const ScopedLock<UnfairLock> lock(mutex_);
  closeLocked();
}

void LogFile::closeLocked() {
  if (inotifyWatch_ >= 0) ::inotify_rm_watch(inotify_, inotifyWatch_);
  inotifyWatch_ = -1;
  fd_.reset();
}

void LogFile::setPath(const std::filesystem::path& path) {
  const ScopedLock<UnfairLock> lock(mutex_);
  if (path.native() == path_.native()) return;
  closeLocked();
  path_ = path;
  hasPath_.store(true, std::memory_order_release);
}

void LogFile::append(std::string_view text, std::chrono::system_clock::time_point now) {
  const ScopedLock<UnfairLock> lock(mutex_);
  if (fd_ && moved_->exchange(false, std::memory_order_acquire) && !stillAtPath()) closeLocked();
  if (fd_) {
    const bool tooBig =
        rotation_.maxBytes > 0 && size_ > 0 && size_ + text.size() > rotation_.maxBytes;
    if (tooBig || (rotation_.daily && localDay(now) != day_)) rotate();
  }
  if (!fd_ && !open(now)) return;
  if (writeAll(fd_.get(), text)) size_ += text.size();
}

bool LogFile::stillAtPath() const {
  struct stat atPath {};
  if (::stat(path_.c_str(), &atPath) != 0) return false;
  return atPath.st_dev == device_ && atPath.st_ino == inode_;
}

bool LogFile::open(std::chrono::system_clock::time_point now) {
  std::error_code ignored;
  if (path_.has_parent_path()) std::filesystem::create_directories(path_.parent_path(), ignored);
  // Non-blocking: opening a FIFO for writing would otherwise wait for a
  // reader. Only a regular file is kept.
  constexpr int kFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  bool created = true;
  UniqueFd fd(::open(path_.c_str(), kFlags | O_CREAT | O_EXCL, 0644));
  if (!fd && errno == EEXIST) {
    created = false;
    fd.reset(::open(path_.c_str(), kFlags));
  }
  if (!fd) return false;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  fd_ = std::move(fd);
  device_ = info.st_dev;
  inode_ = info.st_ino;
  size_ = static_cast<std::uint64_t>(info.st_size);
  day_ = created ? localDay(now) : localDay(std::chrono::system_clock::from_time_t(info.st_mtime));
  if (created && writeAll(fd_.get(), "\n")) size_ += 1;
  moved_->store(false, std::memory_order_relaxed);
  watchPath();
  return true;
}

void LogFile::watchPath() {
  if (!watch_ || watch_->isFinished()) {
    UniqueFd inotify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify) return;
    const int number = inotify.get();
    // On the watcher's thread: one bounded read, one flag.
    auto watched = FdWatcher::watch(std::move(inotify), {},
                                    [moved = moved_](FdWatch& watch, FdEvents /*ready*/) {
                                      alignas(inotify_event) std::array<char, 4096> events;
                                      (void)!::read(watch.fd(), events.data(), events.size());
                                      moved->store(true, std::memory_order_release);
                                      return true;
                                    });
    if (watched.isFailure()) return;
    watch_ = std::move(watched.value());
    inotify_ = number;
  }
  inotifyWatch_ = ::inotify_add_watch(inotify_, path_.c_str(), kGoneEvents);
}

void LogFile::rotate() {
  const std::filesystem::path folder = path_.parent_path();
  std::vector<std::string> asides;
  std::error_code listing;
  for (const auto& entry : std::filesystem::directory_iterator(folder, listing)) {
    std::string name = entry.path().filename().string();
    if (isAsideName(name, path_)) asides.push_back(std::move(name));
  }
  std::sort(asides.begin(), asides.end());
  // The next number of the day: after the highest one kept.
  const std::string prefix = asidePrefix(path_, day_);
  int number = 1;
  for (const std::string& name : asides) {
    if (name.compare(0, prefix.size(), prefix) == 0) {
      number = std::max(number, std::stoi(name.substr(prefix.size(), 3)) + 1);
    }
  }
  std::array<char, 16> digits{};
  std::snprintf(digits.data(), digits.size(), "%03d", std::min(number, 999));
  const std::string asideName = prefix + digits.data() + path_.extension().string();
  closeLocked();
  // Only a file that is still ours is set aside (another process may have
  // done it already).
  struct stat atPath {};
  if (::stat(path_.c_str(), &atPath) == 0 && atPath.st_dev == device_ && atPath.st_ino == inode_) {
    std::error_code failed;
    std::filesystem::rename(path_, folder / asideName, failed);
    if (!failed && !std::binary_search(asides.begin(), asides.end(), asideName)) {
      asides.insert(std::upper_bound(asides.begin(), asides.end(), asideName), asideName);
    }
  }
  const std::size_t keep = static_cast<std::size_t>(std::max(rotation_.keep, 1));
  for (std::size_t i = 0; i + keep < asides.size(); ++i) {
    std::error_code ignored;
    std::filesystem::remove(folder / asides[i], ignored);
  }
}

}  // namespace mornik::detail
