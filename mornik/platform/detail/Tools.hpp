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

// How the desktop adapters run the desktop's tools (wl-copy / wl-paste,
// zenity, the terminal emulator): shorthands over the library's one child
// launcher, ChildProcess (mornik/reactor/ChildProcess.hpp), which starts
// them. The program is looked up on PATH, and
// the child starts with no descriptor of the application but its standard
// ones, an empty signal mask and every signal at its default.

// What a child that ran to its end said.
struct ChildOutput {
  int exitCode = -1;   // -signal when killed by a signal; -1 when its status is unknown
  std::string output;  // standard output
};

// Runs `argv` with `input` on its standard input, collects its standard
// output and waits for it (the calling thread counts as blocked for the
// worker pool). A child still running after `timeoutSeconds` gets SIGTERM,
// then SIGKILL (ChildProcess::kTimeLimitGrace later), is reaped, and the call
// fails with "<program> did not finish within <n> s" (n rounded up). Fails
// with ChildProcess's start error when it cannot be started (not installed:
// code ENOENT, "cannot start <program>: No such file or directory"), and
// with EINVAL for a time limit that is not more than 0. Standard error goes
// to /dev/null.
Result<ChildOutput> runChild(const std::vector<std::string>& argv, std::string_view input,
                             double timeoutSeconds);

// Starts `argv` in `folder` (the current folder when empty), with its
// standard input on /dev/null, and does not wait for it; the library reaps
// it when it ends. Fails as runChild when it cannot be started.
Result<void> startDetached(const std::vector<std::string>& argv,
                           const std::filesystem::path& folder = {});

// The full path of `program` on PATH (or `program` itself when it holds a
// '/' and is executable), or nothing.
std::optional<std::filesystem::path> findProgram(std::string_view program);

}  // namespace mornik::detail

MORNIK_EXPORTS_END
