// Character indexing on arbitrary bytes with arbitrary integers (the extremes
// of std::ptrdiff_t included): the character count agrees between entry
// points, every slice stays inside the text and starts on a character, and
// clamped ranges hold as many characters as the clamping says.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "mornik/text/StringUtils.hpp"

namespace {

using mornik::ClosedIndexRange;
using mornik::IndexRange;
using mornik::Utf16Range;

// A broken property: say which, then stop as a crash does.
#define CHECK(condition)                                                        \
  if (!(condition)) {                                                           \
    std::fprintf(stderr, "check failed: %s (line %d)\n", #condition, __LINE__); \
    __builtin_trap();                                                           \
  }

constexpr std::ptrdiff_t kMax = std::numeric_limits<std::ptrdiff_t>::max();
constexpr std::ptrdiff_t kMin = std::numeric_limits<std::ptrdiff_t>::min();

// An integer from 9 input bytes: mostly small values near the text, sometimes
// the extremes or raw 64-bit values.
std::ptrdiff_t integer(const std::uint8_t*& data, std::size_t& size, std::ptrdiff_t count) {
  std::uint8_t kind = 0;
  std::int64_t raw = 0;
  if (size >= 9) {
    kind = data[0];
    std::memcpy(&raw, data + 1, 8);
    data += 9;
    size -= 9;
  }
  switch (kind % 8) {
    case 0:
      return kMax - (raw & 3);
    case 1:
      return kMin + (raw & 3);
    case 2:
      return static_cast<std::ptrdiff_t>(raw);
    default:
      return static_cast<std::ptrdiff_t>(raw % (count + 3)) - 1;
  }
}

bool inside(std::string_view slice, std::string_view text) {
  return slice.data() >= text.data() && slice.data() + slice.size() <= text.data() + text.size();
}

// The number of characters of [lower, upper) clamped as at(s, IndexRange) does.
std::size_t clampedCount(std::ptrdiff_t lower, std::ptrdiff_t upper, std::size_t count) {
  const auto n = static_cast<std::ptrdiff_t>(count);
  const std::ptrdiff_t a = std::clamp<std::ptrdiff_t>(lower, 0, n);
  const std::ptrdiff_t b = std::clamp<std::ptrdiff_t>(upper, 0, n);
  return b > a ? static_cast<std::size_t>(b - a) : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t textSize = size > 27 ? size - 27 : size;
  const std::string text(reinterpret_cast<const char*>(data) + (size - textSize), textSize);
  const std::string_view view(text);
  std::size_t left = size - textSize;
  const std::uint8_t* numbers = data;

  const auto characters = mornik::asCharArr(text);
  const std::size_t count = mornik::count(text);
  CHECK(characters.size() == count);
  const auto n = static_cast<std::ptrdiff_t>(count);
  const std::ptrdiff_t a = integer(numbers, left, n);
  const std::ptrdiff_t b = integer(numbers, left, n);
  const std::ptrdiff_t c = integer(numbers, left, n);

  // Every character is the text of at(s, i), and they join into the text.
  std::string joined;
  for (std::size_t i = 0; i < characters.size() && i < 64; ++i) {
    CHECK(mornik::at(text, static_cast<std::ptrdiff_t>(i)) == characters[i]);
  }
  for (const auto& character : characters) joined += character;
  CHECK(joined == text);

  const std::string single = mornik::at(text, a);
  CHECK(single == (a >= 0 && a < n ? characters[static_cast<std::size_t>(a)] : std::string()));
  const std::string ranged = mornik::at(text, IndexRange{a, b});
  CHECK(mornik::count(ranged) == clampedCount(a, b, count));
  CHECK(text.find(ranged) != std::string::npos);

  const std::string_view safeSlice = mornik::safe(view, IndexRange{a, b});
  CHECK(inside(safeSlice, view));
  CHECK(mornik::count(safeSlice) == clampedCount(a, b, count));
  const std::string_view closed = mornik::safe(view, ClosedIndexRange{a, b});
  CHECK(inside(closed, view));
  CHECK(mornik::count(closed) == clampedCount(a, b == kMax ? kMax : b + 1, count));

  if (const auto sub = mornik::getSubstring(view, a, b)) {
    CHECK(inside(*sub, view));
    CHECK(mornik::count(*sub) <= count);
  } else {
    CHECK((a < 0 && b < 0) || a >= n);
  }
  if (const auto sub = mornik::getSubstring(view, Utf16Range{a, b})) CHECK(inside(*sub, view));
  if (const auto sub = mornik::at(text, Utf16Range{a, b})) {
    CHECK(text.find(*sub) != std::string::npos);
  }
  if (a >= 0) {
    const auto character = mornik::charAt(text, a);
    CHECK(character.has_value() == (a < n));
  }

  CHECK(mornik::count(mornik::substringFrom(text, a)) == count - clampedCount(0, a, count));
  CHECK(mornik::count(mornik::substringTo(text, a)) == clampedCount(0, a, count));
  CHECK(mornik::count(mornik::first(text, b)) == clampedCount(0, b, count));
  const std::string dropped = mornik::dropFirstCustom(text, c);
  if (c >= 0 && c <= n) CHECK(mornik::count(dropped) == count - static_cast<std::size_t>(c));

  const std::string cut = mornik::truncEnd(text, a, "~");
  CHECK(cut == text || cut == mornik::first(text, a) + "~");
  (void)mornik::truncStart(text, b, "~");
  (void)mornik::truncCenter(text, c, "~");

  // Padding: either small enough to build or beyond what force builds.
  if (c < 4096 || c > (std::ptrdiff_t{1} << 40)) {
    const std::string padded = mornik::force(text, c);
    CHECK(padded.compare(0, text.size(), text) == 0);
    const std::size_t wanted = c > n && c < 4096 ? static_cast<std::size_t>(c) - count : 0;
    CHECK(padded.size() == text.size() + wanted);
    using mornik::operator*;
    const std::string repeated = view * (c < 64 || text.empty() ? c : kMax);
    CHECK(repeated.size() % std::max<std::size_t>(text.size(), 1) == 0);
  }

  if (const auto offset = mornik::indexInt(text, "a")) CHECK(*offset >= 0);
  const auto utf16 = mornik::at(text, Utf16Range{0, kMax});
  CHECK(!utf16.has_value());
  return 0;
}
