#include "mornik/files/FileStream.hpp"

#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace mornik {

namespace {
constexpr std::size_t kBlock = std::size_t{1} << 17U;  // 128 KiB: read, then scanned while in cache
}  // namespace

// The block holds bytes read but not yet handed out, [begin_, end_); a line
// longer than the block grows it. `result_` is the line last handed out;
// before the block's bytes move, it is copied to `held_` so that the
// caller's view stays valid.
struct FileStream::State {
  int fd = -1;
  std::vector<char> block = std::vector<char>(kBlock);
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t scanned = 0;  // bytes from begin known to hold no line feed
  std::size_t nul = 0;      // the first NUL in [begin, end), or end when there is none
  bool atEnd = false;
  bool started = false;
  std::optional<std::string_view> next;
  std::string_view result;
  std::string held;

  ~State() {
    if (fd >= 0) ::close(fd);
  }

  void secureResult() {
    const char* data = block.data();
    if (result.data() >= data && result.data() < data + block.size()) {
      held.assign(result);
      result = held;
    }
  }

  // Hands out [begin, lineEnd) cut at its first NUL, and moves begin on.
  // Each byte is searched for a NUL once, when it is read.
  std::string_view take(std::size_t lineEnd) {
    std::string_view line(block.data() + begin, lineEnd - begin);
    if (nul < lineEnd) {
      line = line.substr(0, nul - begin);
      nul = findNul(lineEnd);
    }
    begin = lineEnd;
    scanned = 0;
    return line;
  }

  std::size_t findNul(std::size_t from) const {
    const void* found = std::memchr(block.data() + from, '\0', end - from);
    return found == nullptr
               ? end
               : static_cast<std::size_t>(static_cast<const char*>(found) - block.data());
  }

  std::optional<std::string_view> fetch() {
    for (;;) {
      if (begin + scanned < end) {
        char* from = block.data() + begin + scanned;
        if (auto* feed = static_cast<char*>(std::memchr(from, '\n', end - begin - scanned))) {
          return take(static_cast<std::size_t>(feed + 1 - block.data()));
        }
        scanned = end - begin;
      }
      if (atEnd) {
        if (begin == end) return std::nullopt;
        return take(end);
      }
      secureResult();
      if (begin > 0) {
        std::memmove(block.data(), block.data() + begin, end - begin);
        end -= begin;
        nul -= begin;
        begin = 0;
      }
      if (end == block.size()) block.resize(block.size() * 2);
      const ssize_t got = ::read(fd, block.data() + end, block.size() - end);
      if (got > 0) {
        const bool noNulYet = nul == end;
        end += static_cast<std::size_t>(got);
        if (noNulYet) nul = findNul(nul);
      } else if (got < 0 && errno == EINTR) {
        continue;
      } else {
        atEnd = true;  // the end, or a read error: both final
      }
    }
  }
};

FileStream::FileStream(URL url, int fd) : url_(std::move(url)), state_(std::make_unique<State>()) {
  state_->fd = fd;
}
FileStream::FileStream(FileStream&&) noexcept = default;
FileStream& FileStream::operator=(FileStream&&) noexcept = default;
FileStream::~FileStream() = default;

std::optional<FileStream> FileStream::make(const URL& url) {
  const int fd = ::open(url.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return FileStream(url, fd);
}

std::optional<std::string_view> FileStream::readLn() {
  State& state = *state_;
  if (!state.started) {
    state.started = true;
    state.next = state.fetch();
  }
  if (!state.next) return std::nullopt;
  state.result = *state.next;
  state.next = state.fetch();
  return state.result;
}

}  // namespace mornik
