#include "mornik/fileio/FileHandle.hpp"

#include <array>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "mornik/fileio/detail/HeldFileSizeSignal.hpp"

namespace mornik {

namespace {

std::optional<FileHandle> openHandle(const std::filesystem::path& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  return FileHandle(fd);
}

[[noreturn]] void fail(int err, const char* operation) { throw Error::fromErrno(err, operation); }

template <class F>
auto catching(F&& body) -> Result<std::invoke_result_t<F&>> {
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
      body();
      return {};
    } else {
      return body();
    }
  } catch (const Error& error) {
    return error;
  }
}

}  // namespace

std::optional<FileHandle> FileHandle::forReadingAtPath(const std::filesystem::path& path) {
  return openHandle(path, O_RDONLY);
}
std::optional<FileHandle> FileHandle::forWritingAtPath(const std::filesystem::path& path) {
  return openHandle(path, O_WRONLY);
}
std::optional<FileHandle> FileHandle::forUpdatingAtPath(const std::filesystem::path& path) {
  return openHandle(path, O_RDWR);
}

void FileHandle::write(std::span<const std::uint8_t> data) {
  const detail::HeldFileSizeSignal held;  // past RLIMIT_FSIZE: EFBIG, not the signal
  const std::uint8_t* next = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t written = ::write(fd_.get(), next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(errno, "write");
    }
    next += written;
    left -= static_cast<std::size_t>(written);
  }
}

void FileHandle::write(std::string_view text) {
  write(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                      text.size()));
}

std::uint64_t FileHandle::seekToEnd() {
  const off_t offset = ::lseek(fd_.get(), 0, SEEK_END);
  if (offset < 0) fail(errno, "seekToEnd");
  return static_cast<std::uint64_t>(offset);
}

std::string FileHandle::readToEnd() {
  std::string contents;
  std::array<char, 65536> buffer{};
  for (;;) {
    const ssize_t got = ::read(fd_.get(), buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      fail(errno, "read");
    }
    if (got == 0) return contents;
    contents.append(buffer.data(), static_cast<std::size_t>(got));
  }
}

void FileHandle::close() {
  if (!fd_) fail(EBADF, "close");
  if (const int err = fd_.close()) fail(err, "close");
}

Result<void> close_r(FileHandle& handle) {  // NOLINT(readability-identifier-naming)
  return catching([&] { handle.close(); });
}
Result<std::uint64_t> seekToEnd_r(FileHandle& handle) {  // NOLINT(readability-identifier-naming)
  return catching([&] { return handle.seekToEnd(); });
}
Result<void> write_r(FileHandle& handle, std::span<const std::uint8_t> data) {  // NOLINT
  return catching([&] { handle.write(data); });
}
Result<void> write_r(FileHandle& handle, std::string_view text) {  // NOLINT
  return catching([&] { handle.write(text); });
}

}  // namespace mornik
