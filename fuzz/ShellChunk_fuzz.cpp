// A child's output chunk: the UTF-8 check agrees with the library's own
// validator on every input, the copy that checks as it copies agrees with
// both and copies every byte, and the debug line's tail of a valid chunk is
// a suffix of it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "mornik/base/Result.hpp"
#include "mornik/process/detail/Chunks.hpp"

#include "fuzz/Check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view chunk(reinterpret_cast<const char*>(data), size);
  const bool valid = mornik::detail::isUTF8Chunk(chunk);
  fuzz::check(valid == mornik::isValidUTF8(chunk));
  const auto copy = mornik::detail::recycledUTF8Text(chunk);
  fuzz::check((copy != nullptr) == valid);
  fuzz::check(copy == nullptr || *copy == chunk);
  if (valid) {
    const std::string tail = mornik::detail::lastCharacters(chunk, size % 97);
    fuzz::check(chunk.ends_with(tail));
  }
  return 0;
}
