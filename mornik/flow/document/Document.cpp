#include "mornik/flow/document/Document.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mornik/base/Output.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/fileio/FileContents.hpp"

namespace mornik::detail {

namespace {

// What tells one version of a file from another: a replacement (a new
// inode) or an edit in place (size, modification time).
struct FileIdentity {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modifiedNs = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

FileIdentity identityOf(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return {};
  return FileIdentity{
      true, info.st_dev, info.st_ino, info.st_size,
      static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec};
}

// The file a path names, with a symbolic link followed, so that backups
// keep the bytes rather than the link.
std::filesystem::path resolved(const std::filesystem::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  std::error_code ignored;
  auto target = std::filesystem::weakly_canonical(path, ignored);
  return ignored ? path : target;
}

bool isNoSuchFile(const Error& error) { return error.is(std::errc::no_such_file_or_directory); }

// The same error (domain, code, and itself as the underlying error) with
// `more` added to its description.
Error withNote(const Error& error, const std::string& more) {
  return Error(error.domain(), error.code(),
               {{std::string(kLocalizedDescriptionKey), error.localizedDescription() + more}},
               error);
}

Error keepError(int err, const std::filesystem::path& file, const std::filesystem::path& backup,
                const std::string& what) {
  return Error::fromErrno(err, "can't keep the " + what + " " + file.string() + " as " +
                                   backup.filename().string() + ", so it was not replaced");
}

// How keepAside() may keep a file.
enum class Keep {
  linkOrCopy,  // the file must stay where it is (a settings file holding other keys)
  linkOrMove,  // it may move aside when it cannot be linked
  move,        // it moves aside (so that the file written next does not inherit its permissions)
};

// Keeps the bytes now at `file` under the name `backup`: a second name for
// the same file (nothing is copied, and the write that follows replaces
// only `file`, so the file is never missing); where the file system has no
// such names, a copy or the file moved aside, as `how` allows. Returns the
// errno of the failure, or 0.
int keepAside(const std::filesystem::path& file, const std::filesystem::path& backup, Keep how) {
  const bool mayMove = how != Keep::linkOrCopy;
  if (how == Keep::move) {
    if (::rename(file.c_str(), backup.c_str()) == 0 || errno == ENOENT) return 0;
    return errno;
  }
  if (::linkat(AT_FDCWD, file.c_str(), AT_FDCWD, backup.c_str(), 0) == 0) return 0;
  const int linkError = errno;
  if (linkError == ENOENT) return 0;  // gone meanwhile: nothing to keep
  if (linkError == EEXIST) return linkError;
  if (mayMove) {
    if (::rename(file.c_str(), backup.c_str()) == 0) return 0;
    return errno;
  }
  auto bytes = readFileContents(file);
  if (bytes.isFailure()) return static_cast<int>(bytes.error().code());
  auto copied = writeAtomically(backup, bytes.value(), AtomicWriteOptions{0600});
  return copied.isSuccess() ? 0 : static_cast<int>(copied.error().code());
}

// keepAside() under a free backup name (retried when the name is taken
// between choosing and linking).
int keepAsideFree(const std::filesystem::path& file, const std::string& why, Keep how,
                  std::filesystem::path& backup) {
  for (int attempt = 0;; ++attempt) {
    backup = backupPathBeside(file, why);
    const int err = keepAside(file, backup, how);
    if (err != EEXIST || attempt > 100) return err;
  }
}

class FileGuard final : public StoreGuard {
 public:
  explicit FileGuard(const std::filesystem::path& path)
      : path_(resolved(path)), identity_(identityOf(path_)) {}

  Error firstReadFailed(const Error& error) override {
    if (isNoSuchFile(error) || !identity_.exists) return error;
    keepBeforeWrite_ = true;
    // A file we may not read moves aside: a replacement would keep its
    // permissions and be unreadable again.
    const bool denied =
        (error.is(std::errc::permission_denied) || error.is(std::errc::operation_not_permitted));
    keepHow_ = denied ? Keep::move : Keep::linkOrMove;
    backup_ = backupPathBeside(path_, "unreadable");
    return withNote(error, "; the first save keeps it as " + backup_.filename().string());
  }

  Result<void> beforeWrite(std::optional<Error>& notice) override {
    const FileIdentity now = identityOf(path_);
    if (keepBeforeWrite_) {
      if (!now.exists) {
        keepBeforeWrite_ = false;  // removed meanwhile: nothing left to keep
        return {};
      }
      int err = keepAside(path_, backup_, keepHow_);
      if (err == EEXIST) err = keepAsideFree(path_, "unreadable", keepHow_, backup_);
      if (err != 0) return keepError(err, path_, backup_, "unreadable file");
      keepBeforeWrite_ = false;
      return {};
    }
    if (now == identity_ || !now.exists) return {};
    // Another program wrote the file since we read or wrote it.
    std::filesystem::path backup;
    if (const int err = keepAsideFree(path_, "changed", Keep::linkOrMove, backup)) {
      return keepError(err, path_, backup, "changed file");
    }
    notice = WTF(path_.string() +
                     " was changed by another program since the document read or saved it; "
                     "that version is kept as " +
                     backup.filename().string() + " and the document's content replaces it",
                 0);
    return {};
  }

  void afterWrite() override { identity_ = identityOf(path_); }

 private:
  const std::filesystem::path path_;
  FileIdentity identity_;
  bool keepBeforeWrite_ = false;
  Keep keepHow_ = Keep::linkOrMove;
  std::filesystem::path backup_;
};

class SettingsKeyGuard final : public StoreGuard {
 public:
  SettingsKeyGuard(std::shared_ptr<KeyValueStore> store, std::string key)
      : store_(std::move(store)), key_(std::move(key)), seen_(store_->string(key_)) {}

  Error firstReadFailed(const Error& error) override {
    // An unreadable store file is the store's to keep (its next write moves
    // it aside, and its error says so); a key without a value has nothing
    // to keep. A value that does not decode is ours.
    if (!seen_) return error;
    keepBeforeWrite_ = true;
    return withNote(error, "; the first save keeps " + store_->filePath().filename().string() +
                               " as " + store_->filePath().filename().string() +
                               ".unreadable-<UTC time>");
  }

  Result<void> beforeWrite(std::optional<Error>& notice) override {
    const std::optional<std::string> now = store_->string(key_);
    const std::filesystem::path& file = store_->filePath();
    if (keepBeforeWrite_) {
      if (now) {
        std::filesystem::path backup;
        if (const int err = keepAsideFree(file, "unreadable", Keep::linkOrCopy, backup)) {
          return keepError(err, file, backup, "settings file with the unreadable " + key_ + " in");
        }
      }
      keepBeforeWrite_ = false;
      return {};
    }
    if (now == seen_ || !now) return {};
    std::filesystem::path backup;
    if (const int err = keepAsideFree(file, "changed", Keep::linkOrCopy, backup)) {
      return keepError(err, file, backup, "settings file with a changed " + key_ + " in");
    }
    notice = WTF("the value of " + key_ + " in " + file.string() +
                     " was changed by another program since the document read or saved it; "
                     "that version is kept in " +
                     backup.filename().string() + " and the document's content replaces it",
                 0);
    return {};
  }

  void afterWrite() override { seen_ = store_->string(key_); }

 private:
  const std::shared_ptr<KeyValueStore> store_;
  const std::string key_;
  std::optional<std::string> seen_;
  bool keepBeforeWrite_ = false;
};

// The objects to save at exit. Leaked on purpose: the exit handler may run
// after static objects are destroyed.
class ExitSaves {
 public:
  static ExitSaves& instance() {
    static auto* const saves = new ExitSaves();
    return *saves;
  }

  void add(std::weak_ptr<SavesAtExit> object) MORNIK_EXCLUDES(lock_) {
    std::call_once(registered_, [] { std::atexit([] { instance().saveAll(); }); });
    ScopedLock<UnfairLock> guard(lock_);
    if (objects_.size() >= 2 * liveAfterSweep_) {
      std::erase_if(objects_,
                    [](const std::weak_ptr<SavesAtExit>& entry) { return entry.expired(); });
      liveAfterSweep_ = std::max<std::size_t>(objects_.size(), 8);
    }
    objects_.push_back(std::move(object));
  }

 private:
  void saveAll() MORNIK_EXCLUDES(lock_) {
    std::vector<std::weak_ptr<SavesAtExit>> objects;
    {
      ScopedLock<UnfairLock> guard(lock_);
      objects.swap(objects_);
    }
    for (const auto& entry : objects) {
      if (const auto object = entry.lock()) object->saveAtExit();
    }
  }

  std::once_flag registered_;
  UnfairLock lock_;
  std::vector<std::weak_ptr<SavesAtExit>> objects_ MORNIK_GUARDED_BY(lock_);
  std::size_t liveAfterSweep_ MORNIK_GUARDED_BY(lock_) = 8;
};

}  // namespace

std::unique_ptr<StoreGuard> makeFileGuard(const std::filesystem::path& path) {
  return std::make_unique<FileGuard>(path);
}

std::unique_ptr<StoreGuard> makeSettingsKeyGuard(std::shared_ptr<KeyValueStore> store,
                                                 std::string key) {
  return std::make_unique<SettingsKeyGuard>(std::move(store), std::move(key));
}

void saveAtExit(std::weak_ptr<SavesAtExit> object) { ExitSaves::instance().add(std::move(object)); }

void reportUnsaved(const std::weak_ptr<ErrorFlow>& errors, const std::string& who,
                   const Error& error) {
  if (const auto sink = errors.lock()) {
    sink->append(error);
  } else {
    printLine(who + ": ERROR " + error.localizedDescription());
  }
}

}  // namespace mornik::detail
