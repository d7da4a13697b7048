#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>

namespace mornik::test {

// A fresh folder under the system's temporary folder, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mornik-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Points HOME and the XDG folders at a temporary folder for the whole test
// program, before anything reads them (call it from a global initialiser),
// so tests never touch the real home folder. Returns the temporary home.
inline const std::filesystem::path& useTemporaryHome() {
  static const TempDir home;
  static const bool exported = [] {
    const auto set = [](const char* name, const std::filesystem::path& value) {
      std::filesystem::create_directories(value);
      ::setenv(name, value.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): before any thread
    };
    set("HOME", home.path());
    set("XDG_CONFIG_HOME", home.path() / ".config");
    set("XDG_DATA_HOME", home.path() / ".local/share");
    set("XDG_CACHE_HOME", home.path() / ".cache");
    set("XDG_STATE_HOME", home.path() / ".local/state");
    set("XDG_RUNTIME_DIR", home.path() / "runtime");
    std::filesystem::permissions(home.path() / "runtime", std::filesystem::perms::owner_all);
    return true;
  }();
  (void)exported;
  return home.path();
}

// Whole-file writes (making the folders) and reads for setting up and
// checking, independent of the library's own file code; a missing file
// reads as "".
inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::stringstream all;
  all << std::ifstream(path, std::ios::binary).rdbuf();
  return all.str();
}

// The names of the entries of a folder.
inline std::set<std::string> entriesOf(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.insert(entry.path().filename());
  return names;
}

}  // namespace mornik::test
