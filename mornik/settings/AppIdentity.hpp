#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

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
// Information values: a JSON object of facts about the application (its
// name, version, build, copyright line, icon), under the keys
// kNameKey, kBuildKey, kVersionKey, kCopyrightKey and kIconKey. The
// application sets them with setInfo(); until it does, they are read once
// from the info file beside the executable, "<executable>.info.json" (for
// /opt/notes/bin/notes: /opt/notes/bin/notes.info.json). A missing or
// unreadable file, or one that is not a JSON object, gives an empty object.
//
// Resources: the folder of the application's own read-only files (sounds,
// images): set with setResourceFolder(), else "<executable's folder>/
// resources", else (when that is not a folder) "<executable's folder>/../
// share/<identifier>".
//
// Translation: localizedString(text) is what the library shows people for
// a text of the application's (a dialog's title): its translation in the
// application's catalogue for the current locale, the text itself being the
// key, and the text itself when there is none. The catalogue is gettext's
// by default: the application's default text domain and LC_MESSAGES, as a
// program that uses gettext sets them up (setlocale(LC_ALL, ""),
// bindtextdomain, textdomain). A program that translates otherwise (its
// toolkit's catalogue) installs its own lookup with setTranslator().
//
// Thread safety: every member may be called from any thread; a setter
// concurrent with a reader gives the reader the old or the new value. A
// translator is called on the thread that asks, outside any lock, and may
// run on several threads at once.
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

  // The keys of the information values.
  static constexpr const char* kNameKey = "CFBundleName";
  static constexpr const char* kBuildKey = "CFBundleVersion";
  static constexpr const char* kVersionKey = "CFBundleShortVersionString";
  static constexpr const char* kCopyrightKey = "NSHumanReadableCopyright";
  static constexpr const char* kIconKey = "CFBundleIconFile";

  // The information values (a JSON object, possibly empty).
  static nlohmann::json info();
  // Replaces the information values; anything but an object is stored as an
  // empty object.
  static void setInfo(nlohmann::json info);
  // executablePath() + ".info.json".
  static std::filesystem::path infoFilePath();

  // The folder of the application's resources.
  static std::filesystem::path resourceFolder();
  // Sets the resource folder (empty: back to the default).
  static void setResourceFolder(std::filesystem::path folder);
  // resourceFolder() / "<name>.<extension>" (or "<name>" when the extension
  // is empty) when it is a regular file; nothing otherwise.
  static std::optional<std::filesystem::path> resource(std::string_view name,
                                                       std::string_view extension);

  // `text` translated for people (see above).
  static std::string localizedString(std::string_view text);
  // Replaces the translation lookup; null: gettext's again.
  static void setTranslator(std::function<std::string(std::string_view text)> translator);
};

}  // namespace mornik

MORNIK_EXPORTS_END
