#pragma once

#include <filesystem>
#include <string>

#include "mornik/flow/Result.hpp"

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

}  // namespace mornik
