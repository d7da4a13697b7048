#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/fileio/UniqueFd.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// An open file: reading, writing and seeking on a file descriptor it owns.
//
//   auto log = mornik::FileHandle::forWritingAtPath("/tmp/app.log");
//   if (log) {
//     mornik::seekToEnd_r(*log);
//     mornik::write_r(*log, "started\n").onFailure(report);
//     mornik::close_r(*log);
//   }
//
// The member operations throw mornik::Error (domain POSIX, code = errno, the
// description naming the operation: "write: No space left on device"); the
// `_r` functions below return the same errors as Result failures instead.
// Using a closed handle fails with EBADF. A write past RLIMIT_FSIZE fails
// with EFBIG ("write: File too large"); SIGXFSZ is held back meanwhile.
//
// Thread safety: distinct handles may be used from any thread; one handle
// is used by one thread at a time.
// Ownership: the handle closes its descriptor when destroyed, unless it was
// closed before. Move-only.
class FileHandle {
 public:
  // Opens an existing file; nothing when it cannot be opened.
  static std::optional<FileHandle> forReadingAtPath(const std::filesystem::path& path);
  // Opens an existing file for writing at offset 0, without truncating it.
  static std::optional<FileHandle> forWritingAtPath(const std::filesystem::path& path);
  // Opens an existing file for reading and writing.
  static std::optional<FileHandle> forUpdatingAtPath(const std::filesystem::path& path);

  // Takes ownership of an open descriptor.
  explicit FileHandle(int fileDescriptor) : fd_(fileDescriptor) {}

  // The descriptor, or -1 after close().
  int fileDescriptor() const { return fd_.get(); }

  // Writes every byte (retrying short writes).
  void write(std::span<const std::uint8_t> data);
  void write(std::string_view text);
  // Moves to the end of the file and returns that offset.
  std::uint64_t seekToEnd();
  // The bytes from the current offset to the end.
  std::string readToEnd();
  // Closes the descriptor; an error of close itself is reported (the
  // descriptor is released anyway).
  void close();

 private:
  UniqueFd fd_;
};

// The operations above with their errors returned as failures.
Result<void> close_r(FileHandle& handle);               // NOLINT(readability-identifier-naming)
Result<std::uint64_t> seekToEnd_r(FileHandle& handle);  // NOLINT(readability-identifier-naming)
Result<void> write_r(FileHandle& handle, std::span<const std::uint8_t> data);  // NOLINT
// Writes the UTF-8 bytes of the text.
Result<void> write_r(FileHandle& handle, std::string_view text);  // NOLINT

}  // namespace mornik

MORNIK_EXPORTS_END
