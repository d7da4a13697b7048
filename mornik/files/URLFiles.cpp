#include "mornik/files/URLFiles.hpp"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mornik/base/Output.hpp"
#include "mornik/base/UUID.hpp"
#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/fileio/FileContents.hpp"
#include "mornik/files/FS.hpp"
#include "mornik/files/File.hpp"
#include "mornik/files/FileInfo.hpp"
#include "mornik/files/detail/Items.hpp"

namespace mornik {

namespace {

std::string withSlash(std::string path) {
  if (path.empty() || path.back() != '/') path += '/';
  return path;
}

Date dateOf(const statx_timestamp& time) {
  return Date::fromUnixTimestamp(static_cast<double>(time.tv_sec) + time.tv_nsec / 1e9);
}

std::uint64_t allocatedBytes(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return 0;
  return static_cast<std::uint64_t>(status.st_blocks) * 512U;
}

bool keepsInQuery(unsigned char c) {
  return std::isalnum(c) != 0 ||
         std::string_view("-._~!$&'()*+,;=:@/?").find(static_cast<char>(c)) !=
             std::string_view::npos;
}

}  // namespace

URL tempDir() {
  const char* tmp = std::getenv("TMPDIR");  // NOLINT(concurrency-mt-unsafe): read only
  return URL::fileURL(tmp != nullptr && *tmp == '/' ? tmp : "/tmp", true);
}

Result<URL> tmp(TmpDir kind, const std::string& prefix) {
  const std::string user = withSlash(tempDir().path());
  switch (kind) {
    case TmpDir::userRoot:
      return URL::fileURL(user + prefix, true);
    case TmpDir::userUnique:
      return URL::fileURL(user + prefix + UUID::random().uuidString(), true);
    case TmpDir::systemRoot:
      return URL::fileURL("/tmp/" + prefix, true);
    case TmpDir::systemUnique:
      break;
  }
  return URL::fileURL("/tmp/" + prefix + UUID::random().uuidString(), true);
}

Result<URL> randomTempDirectory() {
  return makeSureDirExists(
      URL::fileURL(withSlash(tempDir().path()) + UUID::random().uuidString(), true));
}

bool isSandboxAccessible(const URL& url) { return ::access(url.path().c_str(), R_OK) == 0; }
bool isSandboxAccessibleWrite(const URL& url) { return ::access(url.path().c_str(), W_OK) == 0; }
bool isSandboxAccessibleLegacy(const URL& url) { return isSandboxAccessible(url); }
bool isSandboxAccessibleWriteLegacy(const URL& url) { return isSandboxAccessibleWrite(url); }

bool exists(const URL& url) { return detail::itemExists(url.path()); }
bool exist(const URL& url) { return exists(url); }
bool existAt(const std::string& path) { return detail::itemExists(path); }
bool isDirectory(const URL& url) { return detail::folderExists(url.path()); }
bool isDirExist(const URL& url) { return isDirectory(url); }
bool isFileExists(const URL& url) {
  struct stat status {};
  return ::lstat(url.path().c_str(), &status) == 0 && exists(url);
}

Result<URL> mkdir(const URL& url) {
  std::error_code error;
  std::filesystem::create_directories(url.path(), error);
  if (error) return Error::fromErrorCode(error, "create " + url.path());
  return url;
}

Result<URL> makeSureDirExists(const URL& url) {
  if (isDirectory(url)) return url;
  return mkdir(url);
}

Result<URL> createSubDir(const URL& url, const std::string& name) {
  return makeSureDirExists(URL::fileURL(withSlash(url.path()) + name, true));
}

Result<URL> createDir(const std::string& path) {
  auto made = FS::mkdir(path);
  if (made.isFailure()) return made.error();
  return URL::fileURL(path, true);
}
Result<URL> mkDir(const std::string& path) { return createDir(path); }

std::string userHomePath() {
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384U, '\0');
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && *found->pw_dir != '\0') {
    return found->pw_dir;
  }
  const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe): read only
  return home != nullptr && *home == '/' ? home : "/";
}
URL userHome() { return URL::fileURL(userHomePath(), true); }

Result<std::string> readToString(const URL& url) {
  auto bytes = readFileContents(url.path());
  if (bytes.isFailure()) return bytes.error();
  return decodeText(std::move(bytes).value());
}

Result<Data> readToData(const URL& url) {
  auto bytes = readFileContents(url.path());
  if (bytes.isFailure()) return bytes.error();
  return Data(bytes.value().begin(), bytes.value().end());
}

Result<URL> write(const URL& url, std::string_view contents) {
  auto written = writeAtomically(url.path(), contents);
  if (written.isFailure()) return written.error();
  return url;
}

Result<URL> write(const URL& url, const Data& data) {
  const int fd = ::open(url.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return Error::fromErrno(errno, "write " + url.path());
  FileHandle handle(fd);
  if (auto written = write_r(handle, data); written.isFailure()) return written.error();
  if (auto closed = close_r(handle); closed.isFailure()) return closed.error();
  return url;
}

Result<void> append(const URL& url, std::string_view contents) {
  auto handle = FileHandle::forWritingAtPath(url.path());
  if (!handle) return Error::fromErrno(errno, "append " + url.path());
  if (auto end = seekToEnd_r(*handle); end.isFailure()) return end.error();
  if (auto written = write_r(*handle, contents); written.isFailure()) return written;
  return close_r(*handle);
}

Result<FileHandle> fileHande(const URL& url) {  // NOLINT(readability-identifier-naming)
  auto handle = FileHandle::forUpdatingAtPath(url.path());
  if (!handle) return Error::fromErrno(errno, "open " + url.path());
  return std::move(*handle);
}

Result<void> moveFile(const URL& url, const URL& destination) {
  return detail::moveItem(url.path(), destination.path());
}

Result<void> copy(const URL& url, const URL& destination, bool replace) {
  if (!exists(url)) return WTF("copy URL source doesn't exists", 0);
  if (replace) static_cast<void>(rm(destination));
  return detail::copyItem(url.path(), destination.path());
}

Result<void> rm(const URL& url) {
  auto removed = detail::removeItem(url.path());
  if (removed.isFailure() && removed.error().is(std::errc::no_such_file_or_directory)) return {};
  return removed;
}

Result<std::vector<std::string>> files(const URL& url) {
  DIR* folder = ::opendir(url.path().c_str());
  if (folder == nullptr) return Error::fromErrno(errno, "list " + url.path());
  std::vector<std::string> names;
  errno = 0;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): each directory stream is read by one thread
  while (const dirent* entry = ::readdir(folder)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
    errno = 0;
  }
  const int error = errno;
  ::closedir(folder);
  if (error != 0) return Error::fromErrno(error, "list " + url.path());
  return names;
}

Result<std::vector<std::string>> files(const URL& url, const std::set<std::string>& extensions) {
  auto all = files(url);
  if (all.isFailure()) return all;
  std::vector<std::string> kept;
  for (auto& name : all.value()) {
    const std::string extension = detail::pathExtension(name);
    if (!extension.empty() && extensions.contains(extension)) kept.push_back(std::move(name));
  }
  return kept;
}

std::vector<URL> getSubDirectories(const URL& url) {
  return FS::subDirectories(url).valueOr(std::vector<URL>{});
}

bool isDirContainsFiles(const URL& url) {
  auto all = files(url);
  return all.isSuccess() && !all.value().empty();
}
bool isEmptyDirectory(const URL& url) { return !isDirContainsFiles(url); }

std::uint64_t fileSize(const URL& url) { return fileSizeAt(url.path()); }
std::uint64_t fileSizeAt(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return 0;
  return static_cast<std::uint64_t>(status.st_size);
}

std::optional<FileAttributes> attributes(const URL& url) {
  struct statx status {};
  const std::string path = url.path();
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
              &status) != 0) {
    printLine("FileAttribute error: " + Error::fromErrno(errno, path).localizedDescription());
    return std::nullopt;
  }
  FileAttributes out;
  if (S_ISREG(status.stx_mode)) out.type = FileAttributes::Type::regular;
  if (S_ISDIR(status.stx_mode)) out.type = FileAttributes::Type::directory;
  if (S_ISLNK(status.stx_mode)) out.type = FileAttributes::Type::symbolicLink;
  out.size = status.stx_size;
  out.permissions = status.stx_mode & 07777U;
  out.ownerID = status.stx_uid;
  out.groupID = status.stx_gid;
  out.modificationDate = dateOf(status.stx_mtime);
  if ((status.stx_mask & STATX_BTIME) != 0) out.creationDate = dateOf(status.stx_btime);
  return out;
}

std::string sizeOnDisk(const URL& url) {
  std::uint64_t total = allocatedBytes(url.path());
  for (const auto& item : getFiles(url)) total += allocatedBytes(item.path());
  return formatByteCount(total) + " on disk";
}

std::string pathAbbreviatingHomeWithTilde(const URL& url) {
  std::string path = url.path();
  const std::string home = userHomePath();
  if (home == "/" || !path.starts_with(home)) return path;
  if (path.size() == home.size()) return "~";
  if (path[home.size()] != '/') return path;
  return "~" + path.substr(home.size());
}

std::string pathExpandingHomeWithTilde(const URL& url) {
  std::string path = url.path();
  if (path != "~" && !path.starts_with("~/")) return path;
  return userHomePath() + path.substr(1);
}

std::string lastPathComponentOSLocalized(const URL& url) {
  const std::string name = std::filesystem::path(url.path()).filename().string();
  std::string shown;
  // Valid UTF-8 sequences are kept; each other byte shows as U+FFFD.
  for (std::size_t i = 0; i < name.size();) {
    std::size_t length = 1;
    const auto c = static_cast<unsigned char>(name[i]);
    if (c >= 0xC2 && c <= 0xF4) length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    const std::string piece = name.substr(i, length);
    if (c < 0x80 || (piece.size() == length && isValidUTF8(piece))) {
      shown += piece;
      i += length;
    } else {
      shown += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return shown;
}

Result<std::string> urlHost(const URL& url) {
  static constexpr const char* kExpression = "^(([^:/?#]+):)?^(([^:/?#]+):)?(//([^/?#]*))?";
  static const std::regex kHost(kExpression);
  std::smatch match;
  const std::string& text = url.absoluteString();
  if (!std::regex_search(text, match, kHost)) {
    return WTF(std::string("can't find first match for RegExt: ") + kExpression, 0);
  }
  return match[6].matched ? match[6].str() : std::string();
}

std::optional<URL> generageEmailUrl(const std::string& email, const std::string& subject,
                                    const std::string& body) {
  static constexpr std::string_view kHex = "0123456789ABCDEF";
  std::string query;
  std::string fields = "subject=";
  fields.append(subject).append("&body=").append(body);
  for (const char ch : fields) {
    const auto c = static_cast<unsigned char>(ch);
    if (keepsInQuery(c)) {
      query += ch;
    } else {
      query += '%';
      query += kHex[c >> 4U];
      query += kHex[c & 15U];
    }
  }
  if (auto full = URL::parse("mailto:" + email + "?" + query)) return full;
  return URL::parse("mailto:" + email);
}

bool operator<(const URL& a, const URL& b) { return a.path() < b.path(); }

}  // namespace mornik
