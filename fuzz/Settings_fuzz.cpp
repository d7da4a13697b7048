// The settings file: any bytes load (as values, or as empty with a load
// error exactly when they are not a JSON object); a write then succeeds,
// keeps every other key, keeps unreadable bytes in a backup, and leaves a
// file that reads back as written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "mornik/fs/AtomicFile.hpp"
#include "mornik/fs/FileContents.hpp"
#include "mornik/platform/UserDefaults.hpp"
#include "mornik/text/Json.hpp"

namespace fs = std::filesystem;

namespace {

void check(bool holds) {
  if (!holds) __builtin_trap();
}

// A fresh folder for the run, on tmpfs where there is one (fsync is free there).
const fs::path& folder() {
  static const fs::path path = [] {
    std::string pattern =
        (fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string()) +
        "/mornik-fuzz-XXXXXX";
    check(::mkdtemp(pattern.data()) != nullptr);
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
  if (!readable) {
    // The bytes are kept beside the file, whole.
    std::size_t backups = 0;
    for (const auto& entry : fs::directory_iterator(folder())) {
      if (entry.path().filename().string().rfind("defaults.json.corrupt-", 0) != 0) continue;
      check(mornik::readFileContents(entry.path()).value() == bytes);
      ++backups;
    }
    check(backups == 1);
  }
  return 0;
}
