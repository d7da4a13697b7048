#pragma once

#include <filesystem>
#include <span>
#include <string>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// Replaces the file with the bytes through writeAtomically, mode 0600; an
// existing file with a wider mode is narrowed to 0600 first.
Result<void> writeSealedFile(const std::filesystem::path& path,
                             std::span<const std::uint8_t> sealed);

}  // namespace mornik::detail

MORNIK_EXPORTS_END
