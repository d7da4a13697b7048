#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

// What the process runners do with a chunk of a child's output. Private to
// process/.
namespace mornik::detail {

// Whether the chunk is well-formed UTF-8 on its own (a chunk that ends
// inside a character is not). Fast on ASCII.
bool isUTF8Chunk(std::string_view chunk) noexcept;

// The last `n` characters (extended grapheme clusters) of valid UTF-8 text,
// the whole text when it is shorter. Only a tail of the text is segmented
// when the text allows it, so a long chunk costs little more than a short
// one.
std::string lastCharacters(std::string_view text, std::size_t n);

// A shared copy of the bytes in a recycled buffer if isUTF8Chunk(bytes),
// else null. A stream of large chunks would otherwise have the allocator
// hand out, and the system fault in, fresh memory for nearly every chunk; a
// few released buffers are kept for the next chunks instead (at most 16,
// 4 MiB in all). The check rides on the copy (one pass over the bytes where
// they are ASCII), which a fast stream notices.
std::shared_ptr<const std::string> recycledUTF8Text(std::string_view bytes);

// Without blanks and tabs at either end (line breaks stay).
std::string_view trimBlanksAndTabs(std::string_view text) noexcept;

}  // namespace mornik::detail

MORNIK_EXPORTS_END
