#pragma once

// Character (extended grapheme cluster) segmentation of UTF-8 text for the
// string operations: a walker with a fast path for ASCII over ICU's character
// break iterator, and UTF-16 offset conversions. Private to the library.
//
// Invalid UTF-8: ICU reads each maximal ill-formed subsequence as one U+FFFD,
// so such a subsequence is one character (or the start of one, when combining
// marks follow it); boundaries always fall between the original bytes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include <unicode/brkiter.h>
#include <unicode/utext.h>

namespace mornik::detail {

// The length of the longest prefix of `text`, at most `limit` bytes, made of
// ASCII bytes other than CR. Every position inside such a prefix is a
// character boundary.
std::size_t simpleAsciiPrefix(std::string_view text, std::size_t limit);
// Whether every byte is ASCII.
bool isAscii(std::string_view text);

// A character break iterator borrowed from this thread's pool for the
// lifetime of the lease (the pool grows when leases nest).
class BreakIteratorLease {
 public:
  BreakIteratorLease();
  ~BreakIteratorLease();
  BreakIteratorLease(const BreakIteratorLease&) = delete;
  BreakIteratorLease& operator=(const BreakIteratorLease&) = delete;
  icu::BreakIterator& get() { return *iterator_; }

 private:
  std::unique_ptr<icu::BreakIterator> iterator_;
};

// Walks the character boundaries of a UTF-8 text from a boundary onwards.
// ASCII text other than CR LF steps without ICU; elsewhere ICU's iterator is
// used (borrowed on first need).
class GraphemeWalker {
 public:
  // `start` must be a character boundary of `text`.
  explicit GraphemeWalker(std::string_view text, std::size_t start = 0);
  ~GraphemeWalker();
  GraphemeWalker(const GraphemeWalker&) = delete;
  GraphemeWalker& operator=(const GraphemeWalker&) = delete;

  std::size_t position() const { return position_; }
  bool atEnd() const { return position_ >= text_.size(); }
  // Moves to the end of the character that starts at position(); returns the
  // new position (text.size() at the end).
  std::size_t advance() {
    const std::size_t size = text_.size();
    if (position_ >= size) return size;
    const auto byte = static_cast<unsigned char>(text_[position_]);
    if (byte < 0x80) {
      if (byte == '\r') {
        position_ += (position_ + 1 < size && text_[position_ + 1] == '\n') ? 2 : 1;
        synced_ = false;
        return position_;
      }
      // Nothing attaches to a control character; a printable ASCII character
      // stands alone unless a non-ASCII scalar (a combining mark, say) follows.
      if (byte < 0x20 || byte == 0x7F || position_ + 1 == size ||
          static_cast<unsigned char>(text_[position_ + 1]) < 0x80) {
        ++position_;
        synced_ = false;
        return position_;
      }
    }
    return slowAdvance();
  }

 private:
  std::size_t slowAdvance();

  std::string_view text_;
  std::size_t position_;
  std::optional<BreakIteratorLease> lease_;
  UText utext_ = UTEXT_INITIALIZER;
  bool synced_ = false;  // the iterator stands at position_
};

// The number of characters.
std::size_t graphemeCount(std::string_view text);
// The byte offset where character n starts; text.size() when n >= count.
std::size_t graphemeOffset(std::string_view text, std::size_t n);
// The byte offsets of characters [lower, upper), each clamped to the text.
std::pair<std::size_t, std::size_t> graphemeRange(std::string_view text, std::size_t lower,
                                                  std::size_t upper);
// Whether a byte offset is a character boundary (0 and size() are).
bool isGraphemeBoundary(std::string_view text, std::size_t offset);
// The byte offset where the character that ends at `end` (a boundary > 0) starts.
std::size_t graphemeStartBefore(std::string_view text, std::size_t end);

// Calls f(std::string_view character) for each character; stops early when f
// returns false (for callables returning bool).
template <class F>
void forEachGrapheme(std::string_view text, F&& f) {
  GraphemeWalker walker(text);
  while (!walker.atEnd()) {
    const std::size_t start = walker.position();
    const std::size_t end = walker.advance();
    if constexpr (std::is_same_v<decltype(f(text.substr(start, end - start))), bool>) {
      if (!f(text.substr(start, end - start))) return;
    } else {
      f(text.substr(start, end - start));
    }
  }
}

// Decodes the scalar at byte offset i and moves i past it. Invalid UTF-8
// (a maximal ill-formed subsequence) gives -1.
std::int32_t nextScalar(std::string_view text, std::size_t& i);

// The number of UTF-16 code units of the text (an ill-formed subsequence
// counts as one U+FFFD).
std::size_t utf16Length(std::string_view text);
// The UTF-16 offset of a byte offset (which should be a scalar boundary).
std::size_t utf16OffsetOfByte(std::string_view text, std::size_t byteOffset);
// The byte offset of a UTF-16 offset; nothing when it lies past the end or
// between the two units of a surrogate pair.
std::optional<std::size_t> byteOffsetOfUtf16(std::string_view text, std::size_t utf16Offset);

}  // namespace mornik::detail
