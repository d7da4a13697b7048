// UUID text: parsing never fails on well-formed text, and what it parses
// prints back as the same UUID.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "mornik/base/UUID.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<mornik::UUID> parsed = mornik::UUID::fromString(text);
  if (parsed) {
    const std::optional<mornik::UUID> again = mornik::UUID::fromString(parsed->uuidString());
    if (!again || *again != *parsed) __builtin_trap();
  }
  return 0;
}
