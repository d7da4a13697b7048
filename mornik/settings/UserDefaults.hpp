#pragma once

#include <filesystem>
#include <memory>

#include "mornik/base/Export.hpp"
#include "mornik/settings/KeyValueStore.hpp"
#include "mornik/settings/detail/KeyValueFile.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The application's settings store: text values under text keys, persisted
// as one JSON object in $XDG_CONFIG_HOME/<application id>/defaults.json.
//
//   auto defaults = mornik::UserDefaults::standard();
//   defaults->set("dark", "theme").onFailure(report);   // value, then key
//   defaults->string("theme");                          // "dark"
//
// Every set() and removeObject() writes through, synchronously: under an
// exclusive flock on the sibling "defaults.json.lock" it re-reads the file
// (so keys other processes wrote meanwhile are kept), applies the change and
// replaces the file atomically (writeAtomically). Two processes writing at
// once therefore lose nothing. Reads look at the file's identity (one stat)
// and re-read it when another process replaced it, so they see other
// processes' changes. synchronize() re-reads the file now.
//
// The file is private to the user (created with mode 0600, in folders of
// mode 0700).
//
// A corrupt file (not a JSON object, invalid UTF-8, nested deeper than
// kJsonMaxDepth) reads as empty, its error is available from loadError(),
// and the first write keeps its bytes as "defaults.json.corrupt-<UTC time>"
// instead of overwriting them; when that write fails, the corrupt file is
// still (or again) "defaults.json" and the error is the write's.
//
// Errors: those of writeAtomically; "can't read <file>: <reason>" for a file
// that cannot be read (a write then fails and leaves it alone).
// Thread safety: every member may be called from any thread.
// Lifetime: standard() is created on first use and lives for the process;
// its file is fixed then, from AppIdentity and the environment.
class UserDefaults final : public KeyValueStore {
 public:
  // The application's store.
  static std::shared_ptr<UserDefaults> standard();
  // A store over the given file (tests, or a second settings file).
  static std::shared_ptr<UserDefaults> atPath(std::filesystem::path file);

  std::optional<std::string> string(std::string_view key) override;
  Result<void> set(std::string_view value, std::string_view key) override;
  Result<void> removeObject(std::string_view key) override;
  // Re-reads the file.
  Result<void> synchronize() override;
  std::map<std::string, std::string> dictionaryRepresentation() override;
  std::optional<Error> loadError() const override;
  const std::filesystem::path& filePath() const override { return file_.path(); }

 private:
  explicit UserDefaults(std::filesystem::path file) : file_(std::move(file)) {}
  detail::KeyValueFile file_;
};

}  // namespace mornik

MORNIK_EXPORTS_END
