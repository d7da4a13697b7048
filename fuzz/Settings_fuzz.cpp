// The settings file: any bytes load (as values, or as empty with a load
// error exactly when they are not a JSON object); a write then succeeds,
// keeps every other key, keeps unreadable bytes in a backup, and leaves a
// file that reads back as written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/fileio/FileContents.hpp"
#include "mornik/settings/UserDefaults.hpp"
#include "mornik/text/Json.hpp"

#include "fuzz/Check.hpp"

namespace fs = std::filesystem;
using fuzz::check;

namespace {

// A fresh folder on tmpfs, where fsync costs nothing.
const fs::path& folder() {
  static const fs::path path = [] {
    char pattern[] = "/dev/shm/mornik-fuzz-XXXXXX";
    check(::mkdtemp(pattern) != nullptr);
    return fs::path(pattern);
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const fs::path file = folder() / "defaults.json";
  for (const auto& entry : fs::directory_iterator(folder())) fs::remove(entry.path());
  check(mornik::writeAtomically(file, bytes).isSuccess());

  auto store = mornik::UserDefaults::atPath(file);
  auto before = store->dictionaryRepresentation();
  const auto model = mornik::decodeFromJson<mornik::Json>(bytes);
  const bool readable = model.isSuccess() && model.value().is_object();
  check(readable == !store->loadError().has_value());

  check(store->set("fuzz value", "fuzz key").isSuccess());
  check(store->string("fuzz key") == "fuzz value" && !store->loadError());
  auto after = mornik::UserDefaults::atPath(file)->dictionaryRepresentation();
  check(after.erase("fuzz key") == 1);
  before.erase("fuzz key");
  check(after == before);
  // Unreadable bytes are kept whole beside the file (and its lock).
  std::size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(folder())) {
    ++entries;
    if (entry.path().filename().string().rfind("defaults.json.corrupt-", 0) == 0) {
      check(!readable && mornik::readFileContents(entry.path()).value() == bytes);
    }
  }
  check(entries == (readable ? 2U : 3U));
  return 0;
}
