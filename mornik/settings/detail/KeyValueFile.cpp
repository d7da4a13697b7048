#include "mornik/settings/detail/KeyValueFile.hpp"

#include <array>
#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/fileio/FileContents.hpp"
#include "mornik/text/Json.hpp"

namespace mornik::detail {

namespace {

Error systemError(int err, const std::string& what) {
  return Error(std::string(kPOSIXErrorDomain), err,
               {{std::string(kLocalizedDescriptionKey),
                 what + ": " + std::generic_category().message(err)}});
}

// Creates the missing folders of `folder`, each private to the user.
int makeFolders(const std::filesystem::path& folder) {
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
  if (folder.has_parent_path() && folder.parent_path() != folder) {
    if (const int err = makeFolders(folder.parent_path())) return err;
  }
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  return 0;
}

class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& path)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        error_ = errno;
        return;
      }
    }
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the flock
  }
  int error() const { return error_; }

 private:
  int fd_;
  int error_ = 0;
};

}  // namespace

KeyValueFile::KeyValueFile(std::filesystem::path file)
    : path_(std::move(file)), lockPath_(path_.string() + ".lock") {
  install(load());
}

std::shared_ptr<const Json> KeyValueFile::values() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return values_;
}

std::optional<Error> KeyValueFile::loadError() const {
  detail::ScopedLock<UnfairLock> guard(lock_);
  return loadError_;
}

KeyValueFile::Identity KeyValueFile::currentIdentity() const {
  struct stat info {};
  if (::stat(path_.c_str(), &info) != 0) return {};
  return Identity{
      true, static_cast<unsigned long long>(info.st_dev),
      static_cast<unsigned long long>(info.st_ino), static_cast<long long>(info.st_size),
      static_cast<long long>(info.st_mtim.tv_sec) * 1'000'000'000LL + info.st_mtim.tv_nsec};
}

KeyValueFile::Loaded KeyValueFile::load() const {
  Loaded loaded;
  loaded.values = std::make_shared<Json>(Json::object());
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    if (err != ENOENT) loaded.error = systemError(err, "can't read " + path_.string());
    return loaded;
  }
  struct stat info {};
  std::string contents;
  int err = ::fstat(fd, &info) != 0 ? errno : 0;
  if (err == 0) {
    loaded.identity = Identity{
        true, static_cast<unsigned long long>(info.st_dev),
        static_cast<unsigned long long>(info.st_ino), static_cast<long long>(info.st_size),
        static_cast<long long>(info.st_mtim.tv_sec) * 1'000'000'000LL + info.st_mtim.tv_nsec};
    std::array<char, 65536> buffer{};
    for (;;) {
      const ssize_t got = ::read(fd, buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) err = errno;
      if (got <= 0) break;
      contents.append(buffer.data(), static_cast<std::size_t>(got));
    }
  }
  ::close(fd);
  if (err != 0) {
    loaded.error = systemError(err, "can't read " + path_.string());
    return loaded;
  }
  const std::string prefix = "can't read " + path_.string() + ": ";
  const std::string keeping =
      "; the next write keeps it as " + path_.filename().string() + ".corrupt-<UTC time>";
  loaded.corrupt = true;
  if (!isValidUTF8(contents)) {
    loaded.error = WTF(prefix + "it is not UTF-8 text" + keeping, 0);
    return loaded;
  }
  try {
    auto parsed = std::make_shared<Json>(parseJson(contents));
    if (!parsed->is_object()) {
      loaded.error = WTF(prefix + "it holds a JSON " + std::string(parsed->type_name()) +
                             ", not an object" + keeping,
                         0);
      return loaded;
    }
    loaded.values = std::move(parsed);
    loaded.corrupt = false;
  } catch (const Json::exception& e) {
    loaded.error = WTF(prefix + "it is not valid JSON (" + e.what() + ")" + keeping, 0);
  } catch (const Error& e) {
    loaded.error = WTF(prefix + e.localizedDescription() + keeping, 0);
  }
  return loaded;
}

void KeyValueFile::install(Loaded loaded) {
  detail::ScopedLock<UnfairLock> guard(lock_);
  values_ = std::move(loaded.values);
  identity_ = loaded.identity;
  loadError_ = std::move(loaded.error);
}

void KeyValueFile::refreshIfChanged() {
  const Identity now = currentIdentity();
  {
    detail::ScopedLock<UnfairLock> guard(lock_);
    if (now == identity_) return;
  }
  install(load());
}

void KeyValueFile::reload() {
  std::lock_guard writers(writers_);
  install(load());
}

Result<void> KeyValueFile::update(const std::function<bool(Json& object)>& change) {
  std::lock_guard writers(writers_);
  if (const int err = makeFolders(path_.parent_path())) {
    return systemError(err, "can't write " + path_.string() + ": can't create its folder");
  }
  FileLock fileLock(lockPath_);
  if (fileLock.error() != 0)
    return systemError(fileLock.error(), "can't lock " + lockPath_.string());

  // Another process may have written since we last looked: start from the file.
  Loaded current = load();
  if (current.error && !current.corrupt) {
    Error error = *current.error;
    install(std::move(current));
    return error;
  }
  // The values just read belong to this call alone: change them in place.
  // (A copy would be recursive, and the file's nesting is the user's.)
  if (!change(*current.values)) {
    install(std::move(current));
    return {};
  }
  std::string backup;
  bool linked = false;
  if (current.corrupt) {
    // Keep the user's bytes under a second name; the file itself stays
    // until the replacement is in place.
    backup = backupPathBeside(path_, "corrupt").string();
    linked = ::link(path_.c_str(), backup.c_str()) == 0;
    if (!linked && ::rename(path_.c_str(), backup.c_str()) != 0) {
      const int err = errno;
      return systemError(err, "can't move the unreadable " + path_.string() + " aside");
    }
  }
  auto written =
      writeAtomically(path_,
                      dumpJson(*current.values, OutputFormatting::prettyPrinted |
                                                    OutputFormatting::withoutEscapingSlashes),
                      AtomicWriteOptions{0600});
  if (written.isFailure()) {
    if (!current.corrupt) return written;
    // The unreadable file is still in place (linked) or goes back there;
    // say where it is if that fails.
    if (linked) {
      ::unlink(backup.c_str());
      return written;
    }
    if (::rename(backup.c_str(), path_.c_str()) == 0) return written;
    const Error& error = written.error();
    return Error(
        error.domain(), error.code(),
        {{std::string(kLocalizedDescriptionKey),
          error.localizedDescription() + "; its unreadable content was moved to " + backup}});
  }
  current.identity = currentIdentity();
  current.error.reset();
  install(std::move(current));
  return {};
}

std::optional<std::string> KeyValueFile::textOf(const Json& object, std::string_view key) {
  const auto found = object.find(key);
  if (found == object.end()) return std::nullopt;
  if (found->is_string()) return found->get<std::string>();
  if (found->is_number() || found->is_boolean()) return found->dump();
  return std::nullopt;
}

}  // namespace mornik::detail
