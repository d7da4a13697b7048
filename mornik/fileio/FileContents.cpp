#include "mornik/fileio/FileContents.hpp"

#include <array>
#include <cerrno>
#include <ctime>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mornik/fileio/UniqueFd.hpp"

namespace mornik {

namespace {

Error readError(int err, const std::filesystem::path& path) {
  return Error(std::string(kPOSIXErrorDomain), err,
               {{std::string(kLocalizedDescriptionKey),
                 "can't read " + path.string() + ": " + std::generic_category().message(err)}});
}

std::string utcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  ::gmtime_r(&now, &parts);
  std::array<char, 32> buffer{};
  std::strftime(buffer.data(), buffer.size(), "%Y%m%dT%H%M%SZ", &parts);
  return buffer.data();
}

}  // namespace

std::filesystem::path backupPathBeside(const std::filesystem::path& file, std::string_view why) {
  const std::string base = file.string() + "." + std::string(why) + "-" + utcStamp();
  std::string name = base;
  struct stat taken {};
  for (int n = 2; ::lstat(name.c_str(), &taken) == 0; ++n) name = base + "-" + std::to_string(n);
  return name;
}

Result<std::string> readFileContents(const std::filesystem::path& path) {
  const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return readError(errno, path);
  const int fd = file.get();
  struct stat info {};
  if (::fstat(fd, &info) != 0) return readError(errno, path);
  if (S_ISDIR(info.st_mode)) return readError(EISDIR, path);
  std::string contents;
  // The size is a hint: files in /proc say 0, and a file may grow meanwhile.
  contents.resize(info.st_size > 0 ? static_cast<std::size_t>(info.st_size) + 1 : 4096);
  std::size_t used = 0;
  for (;;) {
    if (used == contents.size()) contents.resize(contents.size() * 2);
    const ssize_t got = ::read(fd, contents.data() + used, contents.size() - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      return readError(errno, path);
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  contents.resize(used);
  return contents;
}

}  // namespace mornik
