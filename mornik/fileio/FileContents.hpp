#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

// Reading a whole file into memory.
//
//   auto bytes = mornik::readFileContents("/etc/hostname");   // Result<std::string>
//
// Thread safety: may be called from any thread.
// Errors: domain POSIX, code = errno, description "can't read <path>: <the
// system's text>" ("can't read /x/y.json: No such file or directory" for a
// missing file, code ENOENT).

namespace mornik {

// The bytes of the file at `path`, as they are (no decoding).
Result<std::string> readFileContents(const std::filesystem::path& path);

// A free name beside `file` for keeping its bytes: "<file>.<why>-<UTC time>"
// (time as 20261205T143000Z), with "-2", "-3", ... added while the name is
// taken. Nothing is created: the caller renames or copies the file there.
std::filesystem::path backupPathBeside(const std::filesystem::path& file, std::string_view why);

}  // namespace mornik

MORNIK_EXPORTS_END
