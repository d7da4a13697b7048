#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "mornik/base/Result.hpp"

namespace mornik {

// Who the running application is, and where its files go.
//
//   // early in main(), before any settings are read:
//   mornik::AppIdentity::setIdentifier("org.example.Notes");
//   mornik::AppIdentity::configFolder();   // ~/.config/org.example.Notes
//   mornik::AppIdentity::applicationSupportFolder();  // ~/.local/share/org.example.Notes
//
// The identifier is a reverse-DNS name the application sets; until it does,
// it is the file name of the running executable (from /proc/self/exe). It
// names the application's folders under the XDG base folders:
// $XDG_CONFIG_HOME (default ~/.config) for settings and $XDG_DATA_HOME
// (default ~/.local/share) for application data. A variable that is unset,
// empty or not an absolute path falls back to the default; the home folder
// is $HOME, else the user database's entry, else "/".
//
// The folders are computed on every call, from the environment of that
// moment; stores that keep a file (UserDefaults::standard()) fix theirs when
// they are first used, so set the identifier (and, in tests, the XDG
// variables) before.
//
// Thread safety: every member may be called from any thread; setIdentifier
// concurrent with a reader gives the reader the old or the new identifier.
class AppIdentity {
 public:
  AppIdentity() = delete;

  // The identifier set with setIdentifier, else the executable's file name.
  static std::string identifier();
  // Sets the identifier. It names a folder, so it must be non-empty, at
  // most 255 bytes, without '/' or NUL and not "." or ".."; otherwise fails
  // with "invalid application identifier: <id>" (code 0) and changes nothing.
  static Result<void> setIdentifier(std::string_view identifier);

  // The running executable (/proc/self/exe), or an empty path when unknown.
  static std::filesystem::path executablePath();
  // The user's home folder.
  static std::filesystem::path homeFolder();
  // $XDG_CONFIG_HOME, or ~/.config.
  static std::filesystem::path configHome();
  // $XDG_DATA_HOME, or ~/.local/share.
  static std::filesystem::path dataHome();
  // configHome() / identifier(): where the settings live.
  static std::filesystem::path configFolder();
  // dataHome() / identifier(): the application-support folder.
  static std::filesystem::path applicationSupportFolder();
};

}  // namespace mornik
