#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/text/JsonFwd.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::detail {

// A JSON object of keyed values kept in one file and shared between
// processes: the machinery behind UserDefaults and UbiquitousKeyValueStore.
//
// The file holds one JSON object (pretty printed, keys sorted). Writers take
// an exclusive flock on the sibling "<file>.lock" (never replaced, so every
// process locks the same inode), re-read the file under that lock, apply
// their change, replace the file with writeAtomically and release the lock:
// changes of other processes made meanwhile are kept. Readers need no lock,
// because the file is only ever replaced whole.
//
// The file is written private to the user (mode 0600 when it is created).
//
// A file that is not a JSON object (corrupt, wrong type, invalid UTF-8,
// nested deeper than kJsonMaxDepth) reads as empty and its error is kept
// (loadError()) until the first write, which keeps its bytes as
// "<file>.corrupt-<UTC time>" (a hard link, else a rename) before replacing
// the file, so the user's bytes are never destroyed. When that write fails,
// the unreadable file is put back where it was and the error is the write's;
// should even that fail, the error adds "; its unreadable content was moved
// to <backup>". A file that cannot be read (permissions) makes writes fail
// without touching it.
//
// Thread safety: every member may be called from any thread.
class KeyValueFile {
 public:
  explicit KeyValueFile(std::filesystem::path file);

  const std::filesystem::path& path() const { return path_; }

  // The current values (an object), as last loaded.
  std::shared_ptr<const Json> values() const MORNIK_EXCLUDES(lock_);
  // Reloads when the file changed since it was last loaded (one stat when not).
  void refreshIfChanged() MORNIK_EXCLUDES(lock_);
  // Reloads unconditionally.
  void reload() MORNIK_EXCLUDES(lock_);
  // Why the file could not be loaded the last time, if it could not.
  std::optional<Error> loadError() const MORNIK_EXCLUDES(lock_);

  // Under the file lock: re-reads the file, applies `change` to the values
  // read (in place: nothing is copied) and writes them. `change` returns
  // false when it changed nothing (then nothing is written). On failure the
  // file and the values stay as they were.
  Result<void> update(const std::function<bool(Json& object)>& change) MORNIK_EXCLUDES(lock_);

  // The value under a key as text: text as is, numbers and booleans in
  // their JSON form; nothing for absent keys, null, arrays and objects.
  static std::optional<std::string> textOf(const Json& object, std::string_view key);

 private:
  struct Identity {
    bool exists = false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long size = 0;
    long long modifiedNs = 0;
    friend bool operator==(const Identity&, const Identity&) = default;
  };
  struct Loaded {
    Identity identity;
    std::shared_ptr<Json> values;  // not shared before install()
    std::optional<Error> error;
    bool corrupt = false;  // readable but not a JSON object
  };

  Loaded load() const;
  Identity currentIdentity() const;
  void install(Loaded loaded) MORNIK_EXCLUDES(lock_);

  const std::filesystem::path path_;
  const std::filesystem::path lockPath_;
  std::mutex writers_;  // one update at a time per object (the flock covers processes)
  mutable UnfairLock lock_;
  std::shared_ptr<const Json> values_ MORNIK_GUARDED_BY(lock_);
  Identity identity_ MORNIK_GUARDED_BY(lock_);
  std::optional<Error> loadError_ MORNIK_GUARDED_BY(lock_);
};

}  // namespace mornik::detail

MORNIK_EXPORTS_END
