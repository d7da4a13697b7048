#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "mornik/base/Export.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/settings/KeyValueStore.hpp"
#include "mornik/settings/detail/KeyValueFile.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The key-value store that follows the user: text values under text keys,
// with the same interface as UserDefaults, kept in
// $XDG_DATA_HOME/<application id>/ubiquitous-kv.json.
//
// There is no network transport: the store is shared by the processes of
// this user on this machine (and by machines only if the user syncs that
// folder by other means). Nothing is sent anywhere.
//
//   auto store = mornik::UbiquitousKeyValueStore::defaultStore();
//   store->set("42", "highScore");   // in memory until synchronize()
//   store->synchronize();            // written through; others' changes read
//
// set() and removeObject() change the store in memory and keep the change
// as pending. synchronize() writes through: under the same flock protocol as
// UserDefaults it re-reads the file, applies the pending changes, replaces
// the file atomically, and takes the file's values (with changes other
// processes made) as the store's. Reads never touch the file. Pending
// changes that were never synchronised are written when the store is
// destroyed (for defaultStore(), at normal process exit).
//
// Errors: synchronize() returns writeAtomically's errors or the read error
// of an unreadable file; the pending changes are kept for the next try.
// Thread safety: every member may be called from any thread.
class UbiquitousKeyValueStore final : public KeyValueStore {
 public:
  static std::shared_ptr<UbiquitousKeyValueStore> defaultStore();
  static std::shared_ptr<UbiquitousKeyValueStore> atPath(std::filesystem::path file);
  ~UbiquitousKeyValueStore() override;

  std::optional<std::string> string(std::string_view key) override;
  // Changes the store in memory (pending until synchronize()); always succeeds.
  Result<void> set(std::string_view value, std::string_view key) override;
  Result<void> removeObject(std::string_view key) override;
  // Writes pending changes through and reloads the file.
  Result<void> synchronize() override;
  std::map<std::string, std::string> dictionaryRepresentation() override;
  std::optional<Error> loadError() const override;
  const std::filesystem::path& filePath() const override { return file_.path(); }

 private:
  explicit UbiquitousKeyValueStore(std::filesystem::path file) : file_(std::move(file)) {}

  // A pending change: a new text, or nothing for a removal.
  using Pending = std::map<std::string, std::optional<std::string>, std::less<>>;

  detail::KeyValueFile file_;
  std::mutex syncing_;  // one synchronize() at a time
  mutable UnfairLock lock_;
  Pending pending_ MORNIK_GUARDED_BY(lock_);
};

}  // namespace mornik

MORNIK_EXPORTS_END
