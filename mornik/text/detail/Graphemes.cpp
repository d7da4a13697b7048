#include "mornik/text/detail/Graphemes.hpp"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <unicode/utf8.h>

#include "mornik/base/Fatal.hpp"

namespace mornik::detail {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;

// Whether some byte of the word has its high bit set or equals '\r'.
inline bool wordHasNonSimple(std::uint64_t word) {
  const std::uint64_t cr = word ^ (kOnes * static_cast<unsigned char>('\r'));
  const std::uint64_t zeroInCr = (cr - kOnes) & ~cr & kHighBits;
  return ((word & kHighBits) | zeroInCr) != 0;
}

const icu::BreakIterator& prototype() {
  static const icu::BreakIterator* const instance = [] {
    UErrorCode status = U_ZERO_ERROR;
    icu::BreakIterator* created =
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status);
    if (U_FAILURE(status) || created == nullptr) {
      fatal("ICU's character break iterator is unavailable");
    }
    return created;
  }();
  return *instance;
}

// Idle iterators of this thread; leases take one or clone the prototype.
struct IteratorPool {
  std::vector<std::unique_ptr<icu::BreakIterator>> idle;
};
thread_local IteratorPool tPool;
constexpr std::size_t kMaxIdle = 4;

// A UText over UTF-8 bytes set on a leased iterator.
class IcuText {
 public:
  explicit IcuText(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    utext_openUTF8(&utext_, text.data(), static_cast<std::int64_t>(text.size()), &status);
    lease_.get().setText(&utext_, status);
    if (U_FAILURE(status)) fatal("cannot set text on ICU's break iterator");
  }
  ~IcuText() { utext_close(&utext_); }
  IcuText(const IcuText&) = delete;
  IcuText& operator=(const IcuText&) = delete;
  icu::BreakIterator& iterator() { return lease_.get(); }

 private:
  BreakIteratorLease lease_;
  UText utext_ = UTEXT_INITIALIZER;
};

}  // namespace

std::size_t simpleAsciiPrefix(std::string_view text, std::size_t limit) {
  const std::size_t end = std::min(limit, text.size());
  std::size_t i = 0;
  for (; i + 8 <= end; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if (wordHasNonSimple(word)) break;
  }
  for (; i < end; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x80 || byte == '\r') break;
  }
  return i;
}

bool isAscii(std::string_view text) {
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if ((word & kHighBits) != 0) return false;
  }
  for (; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  }
  return true;
}

BreakIteratorLease::BreakIteratorLease() {
  if (!tPool.idle.empty()) {
    iterator_ = std::move(tPool.idle.back());
    tPool.idle.pop_back();
  } else {
    iterator_.reset(prototype().clone());
    if (!iterator_) fatal("cannot clone ICU's break iterator");
  }
}

// Back to the pool, unless it is full (then the iterator goes with the lease).
BreakIteratorLease::~BreakIteratorLease() {
  if (tPool.idle.size() < kMaxIdle) tPool.idle.push_back(std::move(iterator_));
}

GraphemeWalker::GraphemeWalker(std::string_view text, std::size_t start)
    : text_(text), position_(start) {}

GraphemeWalker::~GraphemeWalker() {
  if (lease_) utext_close(&utext_);
}

std::size_t GraphemeWalker::slowAdvance() {
  if (!lease_) {
    lease_.emplace();
    UErrorCode status = U_ZERO_ERROR;
    utext_openUTF8(&utext_, text_.data(), static_cast<std::int64_t>(text_.size()), &status);
    lease_->get().setText(&utext_, status);
    if (U_FAILURE(status)) fatal("cannot set text on ICU's break iterator");
  }
  icu::BreakIterator& iterator = lease_->get();
  const std::int32_t next =
      synced_ ? iterator.next() : iterator.following(static_cast<std::int32_t>(position_));
  synced_ = true;
  position_ = next == icu::BreakIterator::DONE ? text_.size() : static_cast<std::size_t>(next);
  return position_;
}

std::size_t graphemeCount(std::string_view text) {
  if (isAscii(text)) {
    std::size_t pairs = 0;
    for (std::size_t at = text.find("\r\n"); at != std::string_view::npos;
         at = text.find("\r\n", at + 2)) {
      ++pairs;
    }
    return text.size() - pairs;
  }
  GraphemeWalker walker(text, 0);
  std::size_t count = 0;
  while (!walker.atEnd()) {
    walker.advance();
    ++count;
  }
  return count;
}

std::size_t graphemeOffset(std::string_view text, std::size_t n) {
  if (n >= text.size()) {
    // Every character has at least one byte: n >= size is at or past the end.
    return text.size();
  }
  const std::size_t simple = simpleAsciiPrefix(text, n + 1);
  // Bytes [0, simple) are ASCII other than CR, so each of them before an
  // ASCII byte is a whole character; an ASCII byte n (CR included) then starts
  // character n.
  if (simple > n || (simple == n && static_cast<unsigned char>(text[n]) < 0x80)) return n;
  // Start walking at the last position known to be a boundary.
  const std::size_t start = simple == 0 ? 0 : simple - 1;
  GraphemeWalker walker(text, start);
  for (std::size_t i = start; i < n && !walker.atEnd(); ++i) walker.advance();
  return walker.position();
}

std::pair<std::size_t, std::size_t> graphemeRange(std::string_view text, std::size_t lower,
                                                  std::size_t upper) {
  const std::size_t begin = graphemeOffset(text, lower);
  if (upper <= lower) return {begin, begin};
  GraphemeWalker walker(text, begin);
  for (std::size_t i = lower; i < upper && !walker.atEnd(); ++i) walker.advance();
  return {begin, walker.position()};
}

bool isGraphemeBoundary(std::string_view text, std::size_t offset) {
  if (offset == 0 || offset >= text.size()) return offset <= text.size();
  const auto before = static_cast<unsigned char>(text[offset - 1]);
  const auto after = static_cast<unsigned char>(text[offset]);
  if (before < 0x80 && after < 0x80) return !(before == '\r' && after == '\n');
  // Nothing attaches to LF or to another control character but CR.
  if (before < 0x20 && before != '\r') return true;
  IcuText icu(text);
  return icu.iterator().isBoundary(static_cast<std::int32_t>(offset)) != 0;
}

std::size_t graphemeStartBefore(std::string_view text, std::size_t end) {
  if (end == 0) return 0;
  const auto last = static_cast<unsigned char>(text[end - 1]);
  if (last < 0x80) {
    if (last == '\n') return (end >= 2 && text[end - 2] == '\r') ? end - 2 : end - 1;
    // A control character stands alone; so does an ASCII character after ASCII
    // (only non-ASCII scalars, such as prepended marks, attach in front).
    if (last < 0x20 || last == 0x7F || end == 1 ||
        static_cast<unsigned char>(text[end - 2]) < 0x80) {
      return end - 1;
    }
  }
  IcuText icu(text);
  const std::int32_t start = icu.iterator().preceding(static_cast<std::int32_t>(end));
  return start == icu::BreakIterator::DONE ? 0 : static_cast<std::size_t>(start);
}

std::int32_t nextScalar(std::string_view text, std::size_t& i) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<std::int64_t>(text.size());
  auto at = static_cast<std::int64_t>(i);
  UChar32 c;
  U8_NEXT(bytes, at, length, c);
  i = static_cast<std::size_t>(at);
  return c;
}

std::size_t utf16Length(std::string_view text) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      ++units;
      ++i;
      continue;
    }
    const std::int32_t c = nextScalar(text, i);
    units += c > 0xFFFF ? 2 : 1;
  }
  return units;
}

std::size_t utf16OffsetOfByte(std::string_view text, std::size_t byteOffset) {
  return utf16Length(text.substr(0, std::min(byteOffset, text.size())));
}

std::optional<std::size_t> byteOffsetOfUtf16(std::string_view text, std::size_t utf16Offset) {
  std::size_t units = 0;
  std::size_t i = 0;
  while (units < utf16Offset && i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      ++units;
      ++i;
      continue;
    }
    const std::int32_t c = nextScalar(text, i);
    units += c > 0xFFFF ? 2 : 1;
  }
  if (units != utf16Offset) return std::nullopt;  // past the end, or inside a pair
  return i;
}

}  // namespace mornik::detail
