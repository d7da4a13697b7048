#include "mornik/fileio/AtomicFile.hpp"

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mornik/fileio/UniqueFd.hpp"
#include "mornik/fileio/detail/HeldFileSizeSignal.hpp"

namespace mornik {

namespace {

std::string systemText(int err) { return std::generic_category().message(err); }

// Which step failed decides how an errno reads.
enum class Step { openFolder, other };

Error writeError(int err, const std::string& target, const std::string& folder, Step step) {
  std::string reason;
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      reason =
          step == Step::openFolder ? "the folder " + folder + " does not exist" : systemText(err);
      break;
    case EACCES:
    case EPERM:
      reason = "no permission to write in the folder " + folder;
      break;
    case EROFS:
      reason = "the file system of " + folder + " is read-only";
      break;
    case ENOSPC:
    case EDQUOT:
      reason = "the disk is full";
      break;
    case EFBIG:
      reason = "the file would exceed the size limit";
      break;
    case EISDIR:
      reason = "it is a folder";
      break;
    default:
      reason = systemText(err);
  }
  return Error(std::string(kPOSIXErrorDomain), err,
               {{std::string(kLocalizedDescriptionKey), "can't write " + target + ": " + reason}});
}

std::string randomSuffix() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  static constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string suffix(8, 'x');
  for (char& c : suffix) c = kAlphabet[generator() % kAlphabet.size()];
  return suffix;
}

int writeAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

// Where a write to `path` lands: `path`, or the end of the chain of symbolic
// links it starts (which need not exist yet), so that the links survive.
// Returns 0, or ELOOP for a chain of more than 40 links (a loop).
int resolveTarget(const std::filesystem::path& path, std::filesystem::path& target) {
  target = path;
  for (int links = 0;; ++links) {
    struct stat info {};
    if (::lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return 0;
    if (links == 40) return ELOOP;
    std::error_code error;
    const std::filesystem::path next = std::filesystem::read_symlink(target, error);
    if (error) return error.value();
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
}

// The whole protocol once. `tryUnnamed` allows an O_TMPFILE file; when
// naming one fails because /proc is not there, the caller retries without.
Result<void> writeOnce(const std::filesystem::path& path, std::span<const std::uint8_t> contents,
                       const AtomicWriteOptions& options, bool tryUnnamed, bool& retryNamed) {
  const std::string shown = path.string();
  std::filesystem::path target;
  const int unresolved = resolveTarget(path, target);
  std::filesystem::path folderPath = target.parent_path();
  if (folderPath.empty()) folderPath = ".";
  const std::string folder = folderPath.string();
  const std::string name = target.filename().string();
  if (unresolved != 0) return writeError(unresolved, shown, folder, Step::other);
  if (name.empty() || name == "." || name == "..") {
    return writeError(EISDIR, shown, folder, Step::other);
  }

  UniqueFd dir(::open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return writeError(errno, shown, folder, Step::openFolder);

  struct stat existing {};
  // A link that appeared since resolveTarget is replaced, its bits not taken.
  const bool exists = ::fstatat(dir.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
                      !S_ISLNK(existing.st_mode);
  if (exists && S_ISDIR(existing.st_mode)) return writeError(EISDIR, shown, folder, Step::other);
  const auto mode =
      static_cast<mode_t>(exists ? existing.st_mode & 07777 : options.newFilePermissions & 0666);

  // Step 2: an unnamed file when the file system has them (nothing is left
  // behind if we die before the rename), else a named temporary file.
  UniqueFd file(tryUnnamed ? ::openat(dir.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode) : -1);
  const bool unnamed = file.get() >= 0;
  std::string tempName;
  if (!unnamed) {
    // Whatever kept O_TMPFILE from working (no support, an old kernel, a
    // special file system), the named file's own error is the one to report.
    for (int attempt = 0; file.get() < 0; ++attempt) {
      tempName = "." + name + "." + randomSuffix() + ".tmp";
      file.reset(
          ::openat(dir.get(), tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
      if (file.get() < 0 && (errno != EEXIST || attempt > 100)) {
        return writeError(errno, shown, folder, Step::other);
      }
    }
  }
  auto fail = [&](int err) -> Result<void> {
    file.reset();
    if (!tempName.empty()) ::unlinkat(dir.get(), tempName.c_str(), 0);
    return writeError(err, shown, folder, Step::other);
  };

  if (exists) {
    // O_CREAT's mode went through the umask; the replacement keeps the
    // target's bits exactly, and its owner where we may set it.
    if (::fchmod(file.get(), mode) != 0) return fail(errno);
    if (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) {
      (void)::fchown(file.get(), existing.st_uid, existing.st_gid);
    }
  }

  // Step 3.
  if (const int err = writeAll(file.get(), contents.data(), contents.size())) return fail(err);
  if (::fsync(file.get()) != 0) return fail(errno);

  // Step 4.
  if (unnamed) {
    const std::string self = "/proc/self/fd/" + std::to_string(file.get());
    for (int attempt = 0;; ++attempt) {
      tempName = "." + name + "." + randomSuffix() + ".tmp";
      if (::linkat(AT_FDCWD, self.c_str(), dir.get(), tempName.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        break;
      }
      const int err = errno;
      if (err == EEXIST && attempt < 100) continue;
      tempName.clear();
      if (err == ENOENT) retryNamed = true;  // no /proc: name the file from the start
      return fail(err);
    }
  }
  if (const int err = file.close()) return fail(err);
  if (::renameat(dir.get(), tempName.c_str(), dir.get(), name.c_str()) != 0) return fail(errno);
  tempName.clear();
  // Some file systems cannot sync a folder (EINVAL); the rename is done then.
  if (::fsync(dir.get()) != 0 && errno != EINVAL)
    return writeError(errno, shown, folder, Step::other);
  return {};
}

}  // namespace

Result<void> writeAtomically(const std::filesystem::path& path,
                             std::span<const std::uint8_t> contents,
                             const AtomicWriteOptions& options) {
  const detail::HeldFileSizeSignal held;
  bool retryNamed = false;
  auto written = writeOnce(path, contents, options, true, retryNamed);
  if (retryNamed) return writeOnce(path, contents, options, false, retryNamed);
  return written;
}

Result<void> writeAtomically(const std::filesystem::path& path, std::string_view contents,
                             const AtomicWriteOptions& options) {
  return writeAtomically(
      path,
      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(contents.data()),
                                    contents.size()),
      options);
}

}  // namespace mornik
