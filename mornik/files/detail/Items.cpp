#include "mornik/files/detail/Items.hpp"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/fileio/UniqueFd.hpp"
#include "mornik/platform/SoundPlayer.hpp"

namespace mornik::detail {

namespace {

Error copyError(int error, const std::string& from, const std::string& to) {
  return Error::fromErrno(error, "copy " + from + " to " + to);
}

// Copies the bytes of one open file to another: a reflink where the file
// system shares extents, else copy_file_range (in-kernel), else read/write.
bool copyBytes(int in, int out) {
  if (::ioctl(out, FICLONE, in) == 0) return true;
  for (;;) {
    const ssize_t copied = ::copy_file_range(in, nullptr, out, nullptr, 1U << 30U, 0);
    if (copied > 0) continue;
    if (copied == 0) return true;
    if (errno == EINTR) continue;
    if (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) break;
    return false;
  }
  static constexpr std::size_t kChunk = 1U << 20U;
  std::vector<char> buffer(kChunk);
  for (;;) {
    const ssize_t got = ::read(in, buffer.data(), kChunk);
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(out, buffer.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += put;
    }
  }
}

Result<void> copyFile(const std::string& from, const std::string& to, mode_t mode) {
  const UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!in) return copyError(errno, from, to);
  const UniqueFd out(
      ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode & 07777U));
  if (!out) return copyError(errno, from, to);
  ::posix_fadvise(in.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  if (!copyBytes(in.get(), out.get()) || ::fchmod(out.get(), mode & 07777U) != 0) {
    const int error = errno;
    ::unlink(to.c_str());
    return copyError(error, from, to);
  }
  return {};
}

Result<void> copyTree(const std::string& from, const std::string& to) {
  struct stat status {};
  if (::lstat(from.c_str(), &status) != 0) return copyError(errno, from, to);
  if (S_ISLNK(status.st_mode)) {
    std::string target(static_cast<std::size_t>(status.st_size) + 1, '\0');
    const ssize_t length = ::readlink(from.c_str(), target.data(), target.size());
    if (length < 0) return copyError(errno, from, to);
    target.resize(static_cast<std::size_t>(length));
    if (::symlink(target.c_str(), to.c_str()) != 0) return copyError(errno, from, to);
    return {};
  }
  if (S_ISREG(status.st_mode)) return copyFile(from, to, status.st_mode);
  if (S_ISFIFO(status.st_mode)) {
    if (::mkfifo(to.c_str(), status.st_mode & 07777U) != 0) return copyError(errno, from, to);
    return {};
  }
  if (!S_ISDIR(status.st_mode)) return copyError(ENOTSUP, from, to);

  // A folder: made writable for the copy, given its own bits at the end.
  if (::mkdir(to.c_str(), 0700) != 0) return copyError(errno, from, to);
  const auto undo = [&](const Error& error) -> Result<void> {
    std::error_code ignored;
    std::filesystem::remove_all(to, ignored);
    return error;
  };
  DIR* folder = ::opendir(from.c_str());
  if (folder == nullptr) return undo(copyError(errno, from, to));
  errno = 0;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): each directory stream is read by one thread
  while (const dirent* entry = ::readdir(folder)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    auto copied = copyTree(from + "/" + entry->d_name, to + "/" + entry->d_name);
    if (copied.isFailure()) {
      ::closedir(folder);
      return undo(copied.error());
    }
    errno = 0;
  }
  const int readError = errno;
  ::closedir(folder);
  if (readError != 0) return undo(copyError(readError, from, to));
  if (::chmod(to.c_str(), status.st_mode & 07777U) != 0) return undo(copyError(errno, from, to));
  return {};
}

}  // namespace

bool itemExists(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0;
}

bool folderExists(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

namespace {

bool hiddenByItsName(std::string_view name) { return name.front() == '.' || name.back() == '~'; }

}  // namespace

HiddenNames::HiddenNames(const std::string& folder) {
  std::ifstream file(folder + "/.hidden", std::ios::binary);
  std::string name;
  while (std::getline(file, name)) {
    if (!name.empty()) listed_.insert(std::move(name));
  }
}

bool HiddenNames::contains(std::string_view name) const {
  return !name.empty() && (hiddenByItsName(name) || listed_.contains(name));
}

bool isHiddenName(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name.empty()) return false;
  if (hiddenByItsName(name)) return true;  // without reading .hidden
  if (slash == std::string_view::npos) return HiddenNames(".").contains(name);
  return HiddenNames(slash == 0 ? "/" : std::string(path.substr(0, slash))).contains(name);
}

Result<void> copyItem(const std::string& source, const std::string& destination) {
  return copyTree(source, destination);
}

Result<void> moveItem(const std::string& source, const std::string& destination) {
  const auto moveError = [&](int error) {
    return Error::fromErrno(error, "move " + source + " to " + destination);
  };
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0) {
    return {};
  }
  int error = errno;
  if (error == EINVAL) {  // the file system cannot refuse to replace: check first
    struct stat status {};
    if (::lstat(destination.c_str(), &status) == 0) return moveError(EEXIST);
    if (::rename(source.c_str(), destination.c_str()) == 0) return {};
    error = errno;
  }
  if (error != EXDEV) return moveError(error);
  // Another file system: a whole copy first, the source goes only after it.
  auto copied = copyTree(source, destination);
  if (copied.isFailure()) {
    return Error::fromErrno(static_cast<int>(copied.error().code()),
                            "move " + source + " to " + destination);
  }
  return removeItem(source);
}

Result<void> removeItem(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return Error::fromErrno(errno, "remove " + path);
  if (!S_ISDIR(status.st_mode)) {
    if (::unlink(path.c_str()) != 0) return Error::fromErrno(errno, "remove " + path);
    return {};
  }
  std::error_code error;
  std::filesystem::remove_all(path, error);
  if (error) return Error::fromErrorCode(error, "remove " + path);
  return {};
}

DispatchQueue trashSoundQueue() {
  static const DispatchQueue sounds("mornik.trash-sound");
  return sounds;
}

void playTrashSound() {
  // Played off the caller's thread, one request after another in the order
  // they came; the last player is kept until the next one replaces it, so
  // the sound is not cut short.
  trashSoundQueue().async([] {
    static std::shared_ptr<SoundPlayer> playing;
    const auto sound = systemSoundPath("trash-empty");
    if (!sound) return;
    auto player = SoundPlayer::make(*sound, {});
    if (player.isFailure()) return;
    static_cast<void>(player.value()->play());
    playing = player.value();
  });
}

std::string pathExtension(std::string_view path) {
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const std::string_view name = path.substr(path.rfind('/') + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  return std::string(name.substr(dot + 1));
}

}  // namespace mornik::detail
