#include "mornik/files/FileOld.hpp"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "mornik/base/Result.hpp"
#include "mornik/files/detail/Items.hpp"

namespace mornik {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

}  // namespace

FileOld::FileOld(const URL& url) : file_(FileHandle::forReadingAtPath(url.path())) {
  if (!file_) return;
  const off_t end = ::lseek(file_->fileDescriptor(), 0, SEEK_END);
  bytes_ = end > 0 ? static_cast<std::uint64_t>(end) : 0;
  ::lseek(file_->fileDescriptor(), 0, SEEK_SET);
}

FileOld::FileOld(ForWriting /*unused*/, const std::string& path) {
  if (detail::itemExists(path)) static_cast<void>(detail::removeItem(path));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd >= 0) file_.emplace(fd);
}

std::size_t FileOld::write(std::string_view text) {
  if (file_) static_cast<void>(write_r(*file_, text));
  return text.size();
}

std::optional<std::string> FileOld::readln() {
  if (atEof_ || !file_) return std::nullopt;
  for (;;) {
    dropLeadingMark();
    if (const auto found =
            !markSettled_ || delimiter.empty() ? std::string::npos : buffer_.find(delimiter);
        found != std::string::npos) {
      std::string line = buffer_.substr(0, found);
      buffer_.erase(0, found + delimiter.size());
      if (!isValidUTF8(line)) return std::nullopt;
      return line;
    }
    std::string chunk(chunkSize, '\0');
    ssize_t got = 0;
    do {
      got = ::read(file_->fileDescriptor(), chunk.data(), chunk.size());
    } while (got < 0 && errno == EINTR);
    if (got <= 0) break;
    buffer_.append(chunk.data(), static_cast<std::size_t>(got));
  }
  atEof_ = true;
  if (buffer_.empty()) return std::nullopt;
  std::string last = std::move(buffer_);
  buffer_.clear();
  if (!isValidUTF8(last)) return std::nullopt;
  return last;
}

void FileOld::dropLeadingMark() {
  if (markSettled_) return;
  const std::size_t held = std::min(buffer_.size(), kByteOrderMark.size());
  if (buffer_.compare(0, held, kByteOrderMark.substr(0, held)) != 0) {
    markSettled_ = true;
  } else if (held == kByteOrderMark.size()) {
    buffer_.erase(0, held);
    markSettled_ = true;
  }
}

void FileOld::flush() {
  if (file_) ::fsync(file_->fileDescriptor());
}

float FileOld::progress() const {
  if (!file_ || bytes_ == 0) return 0.0F;
  const off_t offset = ::lseek(file_->fileDescriptor(), 0, SEEK_CUR);
  if (offset < 0) return 0.0F;
  return static_cast<float>(static_cast<double>(offset) / static_cast<double>(bytes_));
}

}  // namespace mornik
