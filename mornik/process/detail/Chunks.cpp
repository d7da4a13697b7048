#include "mornik/process/detail/Chunks.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "mornik/base/Result.hpp"
#include "mornik/text/StringUtils.hpp"

namespace mornik::detail {

namespace {

bool isAsciiByte(char c) { return static_cast<unsigned char>(c) < 0x80; }

// The byte length of the UTF-8 sequence a lead byte starts (0: not a lead byte).
std::size_t sequenceLength(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Whether the text may be cut at `at` without changing how the rest is cut
// into characters: between two ASCII characters other than CR LF nothing
// joins, and no rule looks back across an ASCII character.
bool isIndependentCut(std::string_view text, std::size_t at) {
  return at > 0 && at < text.size() && isAsciiByte(text[at - 1]) && text[at - 1] != '\r' &&
         isAsciiByte(text[at]);
}

// Copies whole 64-byte blocks of `from` to `to` up to the first one that
// holds a non-ASCII byte; returns how many bytes it copied.
std::size_t copyAsciiBlocks(std::string_view from, char* to) noexcept {
  std::size_t i = 0;
#if defined(__SSE2__)
  for (; i + 64 <= from.size(); i += 64) {
    const auto* in = reinterpret_cast<const __m128i*>(from.data() + i);  // NOLINT
    const __m128i a = _mm_loadu_si128(in);
    const __m128i b = _mm_loadu_si128(in + 1);
    const __m128i c = _mm_loadu_si128(in + 2);
    const __m128i d = _mm_loadu_si128(in + 3);
    if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) break;
    auto* out = reinterpret_cast<__m128i*>(to + i);  // NOLINT
    _mm_storeu_si128(out, a);
    _mm_storeu_si128(out + 1, b);
    _mm_storeu_si128(out + 2, c);
    _mm_storeu_si128(out + 3, d);
  }
#else
  (void)from;
  (void)to;
#endif
  return i;
}

// Released chunk buffers, for the next chunks (see recycledUTF8Text).
class TextPool {
 public:
  static TextPool& shared() {
    static auto* const pool = new TextPool();  // never destroyed: texts may outlive main
    return *pool;
  }

  // A copy of the bytes if they are well-formed UTF-8 on their own, else
  // null. The check rides on the copy where the bytes are ASCII.
  std::shared_ptr<const std::string> copyIfUTF8(std::string_view bytes) {
    std::unique_ptr<std::string> text;
    {
      std::lock_guard guard(lock_);
      if (!free_.empty()) {
        text = std::move(free_.back());
        free_.pop_back();
        keptBytes_ -= text->capacity();
      }
    }
    if (!text) text = std::make_unique<std::string>();
    // A recycled text keeps its length, so that this fills no bytes that
    // the copy overwrites anyway when chunks keep their size.
    text->resize(bytes.size());
    const std::size_t ascii = copyAsciiBlocks(bytes, text->data());
    std::memcpy(text->data() + ascii, bytes.data() + ascii, bytes.size() - ascii);
    if (!isUTF8Chunk(bytes.substr(ascii))) {
      keep(text.release());
      return nullptr;
    }
    return {text.release(), [](const std::string* released) { shared().keep(released); }};
  }

 private:
  static constexpr std::size_t kKept = 16;
  static constexpr std::size_t kKeptBytes = std::size_t{4} << 20U;

  void keep(const std::string* released) {
    std::unique_ptr<std::string> text(const_cast<std::string*>(released));  // NOLINT
    std::lock_guard guard(lock_);
    if (free_.size() < kKept && keptBytes_ + text->capacity() <= kKeptBytes) {
      keptBytes_ += text->capacity();
      free_.push_back(std::move(text));
    }
  }

  std::mutex lock_;
  std::vector<std::unique_ptr<std::string>> free_;
  std::size_t keptBytes_ = 0;
};

}  // namespace

std::shared_ptr<const std::string> recycledUTF8Text(std::string_view bytes) {
  return TextPool::shared().copyIfUTF8(bytes);
}

bool isUTF8Chunk(std::string_view chunk) noexcept {
  const char* const data = chunk.data();
  const std::size_t size = chunk.size();
  std::size_t i = 0;
  while (i < size) {
    // 64 ASCII bytes at a time (32 without SSE2), then 8, then one at a
    // time up to a non-ASCII one.
    constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
#if defined(__SSE2__)
    while (i + 64 <= size) {
      const auto* block = reinterpret_cast<const __m128i*>(data + i);  // NOLINT
      const __m128i any =
          _mm_or_si128(_mm_or_si128(_mm_loadu_si128(block), _mm_loadu_si128(block + 1)),
                       _mm_or_si128(_mm_loadu_si128(block + 2), _mm_loadu_si128(block + 3)));
      if (_mm_movemask_epi8(any) != 0) break;
      i += 64;
    }
#endif
    while (i + 32 <= size) {
      std::array<std::uint64_t, 4> words;  // NOLINT(cppcoreguidelines-pro-type-member-init)
      std::memcpy(words.data(), data + i, sizeof words);
      if (((words[0] | words[1] | words[2] | words[3]) & kHighBits) != 0) break;
      i += 32;
    }
    while (i + 8 <= size) {
      std::uint64_t word = 0;
      std::memcpy(&word, data + i, sizeof word);
      if ((word & kHighBits) != 0) break;
      i += 8;
    }
    while (i < size && isAsciiByte(data[i])) ++i;
    if (i == size) break;
    const std::size_t length = sequenceLength(static_cast<unsigned char>(data[i]));
    if (length == 0 || i + length > size || !isValidUTF8(chunk.substr(i, length))) return false;
    i += length;
  }
  return true;
}

std::string lastCharacters(std::string_view text, std::size_t n) {
  constexpr std::size_t kSearch = 256;  // how far back a window start is looked for
  for (std::size_t window = 8 * n + 64; window < text.size(); window *= 4) {
    const std::size_t from = text.size() - window;
    const std::size_t lowest = from > kSearch ? from - kSearch : 1;
    for (std::size_t at = from; at >= lowest; --at) {
      if (!isIndependentCut(text, at)) continue;
      const std::string_view tail = text.substr(at);
      if (count(tail) >= n) return truncStart(tail, static_cast<std::ptrdiff_t>(n), "");
      break;  // too few characters in this window: widen it
    }
  }
  return truncStart(text, static_cast<std::ptrdiff_t>(n), "");
}

std::string_view trimBlanksAndTabs(std::string_view text) noexcept {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace mornik::detail
