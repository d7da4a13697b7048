#include "mornik/files/FileStream.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mornik {

namespace {

constexpr std::size_t kBlock = std::size_t{1} << 18U;  // 256 KiB: read, then scanned while in cache
constexpr std::size_t kBatch = 1024;                   // line ends found per scan

// Records the position after each line feed in [from, to) into `ends`, at
// most kBatch of them; answers how many, and sets `from` to where the scan
// stopped. One pass finds many lines, so that a line costs a load from
// `ends` instead of a search of its own.
std::size_t findLineEnds(const char* data, std::size_t& from, std::size_t to, std::size_t* ends) {
  std::size_t count = 0;
  std::size_t at = from;
#if defined(__SSE2__)
  const __m128i feed = _mm_set1_epi8('\n');
  auto mask16 = [&](std::size_t offset) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + offset));
    return static_cast<std::uint64_t>(
        static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, feed))));
  };
  for (; at + 64 <= to && count + 64 <= kBatch; at += 64) {
    std::uint64_t found =
        mask16(at) | mask16(at + 16) << 16U | mask16(at + 32) << 32U | mask16(at + 48) << 48U;
    for (; found != 0; found &= found - 1) {
      ends[count++] = at + static_cast<std::size_t>(__builtin_ctzll(found)) + 1;
    }
  }
#endif
  while (at < to && count < kBatch) {
    const void* next = std::memchr(data + at, '\n', to - at);
    if (next == nullptr) {
      at = to;
      break;
    }
    at = static_cast<std::size_t>(static_cast<const char*>(next) - data) + 1;
    ends[count++] = at;
  }
  from = at;
  return count;
}

}  // namespace

// The block holds bytes read but not yet handed out, [begin, end). A scan
// lists lines: ends[0] is where the first starts and ends[i + 1] where line i
// ends (after its line feed); line `next` is the line ahead, so begin is
// ends[next]. Line feeds up to `scanned` are listed. A last line without a
// line feed is listed when the file has ended. `result` is the line being
// handed out; before the block's bytes move, it is copied to `held` so that
// the caller's view stays valid.
struct FileStream::State {
  int fd = -1;
  std::vector<char> block = std::vector<char>(kBlock);
  std::vector<std::size_t> ends = std::vector<std::size_t>(kBatch + 1);
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t scanned = 0;
  std::size_t next = 0;
  std::size_t count = 0;
  std::size_t nul = 0;  // the first NUL in [begin, end), or end when there is none
  bool atEnd = false;
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

  std::size_t findNul(std::size_t from) const {
    const void* found = std::memchr(block.data() + from, '\0', end - from);
    return found == nullptr
               ? end
               : static_cast<std::size_t>(static_cast<const char*>(found) - block.data());
  }

  // Lists lines from begin on, starting a new list.
  void list(std::size_t found) {
    ends[0] = begin;
    next = 0;
    count = found;
  }

  // Whether there is a line ahead, reading as needed.
  bool lineAhead() {
    for (;;) {
      if (next < count) return true;
      begin = ends[next];
      if (scanned < end) {
        list(findLineEnds(block.data(), scanned, end, ends.data() + 1));
        continue;
      }
      if (atEnd) {
        if (begin == end) return false;
        ends[1] = end;
        list(1);
        continue;
      }
      readMore();
      list(0);
    }
  }

  // Hands out the line ahead, cut at its first NUL, and moves on. Each byte
  // is searched for a NUL once, when it is read.
  std::string_view take() {
    const std::size_t lineEnd = ends[++next];
    std::string_view line(block.data() + begin, lineEnd - begin);
    if (nul < lineEnd) {
      line = line.substr(0, nul - begin);
      nul = findNul(lineEnd);
    }
    begin = lineEnd;
    return line;
  }

  // Called with every listed line handed out.
  void readMore() {
    secureResult();
    if (begin > 0) {
      std::memmove(block.data(), block.data() + begin, end - begin);
      end -= begin;
      scanned -= begin;
      nul -= begin;
      begin = 0;
    }
    if (end == block.size()) block.resize(block.size() * 2);
    for (;;) {
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
      return;
    }
  }
};

FileStream::FileStream(URL url, int fd) : url_(std::move(url)), state_(std::make_unique<State>()) {
  state_->fd = fd;
}
FileStream::FileStream(FileStream&& other) noexcept
    : url_(std::move(other.url_)),
      ahead_(std::exchange(other.ahead_, {})),
      state_(std::move(other.state_)) {}
FileStream& FileStream::operator=(FileStream&& other) noexcept {
  url_ = std::move(other.url_);
  ahead_ = std::exchange(other.ahead_, {});
  state_ = std::move(other.state_);
  return *this;
}
FileStream::~FileStream() = default;

std::optional<FileStream> FileStream::make(const URL& url) {
  const int fd = ::open(url.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return FileStream(url, fd);
}

// Where the inline path cannot go on: the first call, a line with a NUL,
// the last line found by a scan, and the end.
std::optional<std::string_view> FileStream::readLnSlowly() {
  State& state = *state_;
  state.next = ahead_.next;
  state.begin = state.ends[state.next];
  std::optional<std::string_view> line;
  if (state.lineAhead()) {
    state.result = state.take();
    state.lineAhead();  // one line ahead
    line = state.result;
  }
  ahead_ = {state.block.data(), state.ends.data(), state.next, state.count, state.nul};
  return line;
}

}  // namespace mornik
