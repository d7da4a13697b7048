#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// The interface shared by the application's settings store (UserDefaults)
// and the key-value store that follows the user (UbiquitousKeyValueStore):
// text values under text keys, kept in one JSON file.
//
// Thread safety: every member may be called from any thread.
class KeyValueStore {
 public:
  virtual ~KeyValueStore() = default;
  KeyValueStore(const KeyValueStore&) = delete;
  KeyValueStore& operator=(const KeyValueStore&) = delete;

  // The text under `key`: text values as they are, numbers and booleans
  // (from a hand-edited file) in their JSON form; nothing when the key is
  // absent or holds something else.
  virtual std::optional<std::string> string(std::string_view key) = 0;
  // Stores `value` under `key` (the platform's argument order: value first).
  virtual Result<void> set(std::string_view value, std::string_view key) = 0;
  // Removes the key; removing an absent key succeeds.
  virtual Result<void> removeObject(std::string_view key) = 0;
  // Brings the store and its file in step now (what that means is the
  // store's: see each class).
  virtual Result<void> synchronize() = 0;
  // Every key with its text (as string() reads it).
  virtual std::map<std::string, std::string> dictionaryRepresentation() = 0;
  // Why the store's file could not be read the last time it was, if it
  // could not (it then reads as empty).
  virtual std::optional<Error> loadError() const = 0;
  // The file behind the store.
  virtual const std::filesystem::path& filePath() const = 0;

 protected:
  KeyValueStore() = default;
};

}  // namespace mornik

MORNIK_EXPORTS_END
