#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// Small child-process helpers for the adapters that drive desktop tools
// (wl-copy / wl-paste, zenity, the terminal emulator). Children get
// O_CLOEXEC pipes only, so no other descriptor of the process leaks into
// them; the program is looked up on PATH.

// What a child that ran to its end said.
struct ChildOutput {
  int exitCode = -1;   // -signal when killed by a signal
  std::string output;  // standard output
};

// Runs `argv` with `input` on its standard input, collects its standard
// output and waits for it. A child still running after `timeoutSeconds` is
// killed and the call fails with "<program> did not finish within <n> s".
// Fails with "<program> could not be started: <reason>" when it cannot be
// started (not installed: ENOENT). Standard error goes to /dev/null.
Result<ChildOutput> runChild(const std::vector<std::string>& argv, std::string_view input,
                             double timeoutSeconds);

// Starts `argv` in `folder` (the current folder when empty) and does not
// wait for it; the child is reaped by a detached thread. Fails as runChild
// when it cannot be started.
Result<void> startDetached(const std::vector<std::string>& argv,
                           const std::filesystem::path& folder = {});

// The full path of `program` on PATH (or `program` itself when it holds a
// '/' and is executable), or nothing.
std::optional<std::filesystem::path> findProgram(std::string_view program);

}  // namespace mornik::detail

MORNIK_EXPORTS_END
