// main() of the keychain tests: each run (every test as CTest starts it, and
// the listing) gets a temporary home and a session bus of its own (it runs
// itself again under dbus-run-session) with gnome-keyring-daemon started
// there, its login keyring unlocked with a password and no prompt. Tests
// named *NoSessionBus* run without a bus; *NoSecretService* with a bus that
// cannot start a keyring.
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include "tests/desktop/support/Desktop.hpp"

namespace fs = std::filesystem;

namespace {

void exportVariable(const char* name, const std::string& value) {
  setenv(name, value.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): before any thread
}

bool filterNames(int argc, char** argv, const std::string& part) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]).find(part) != std::string::npos) return true;
  }
  return false;
}

int runSession(int argc, char** argv) {
  char pattern[] = "/tmp/mornik-keyring-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const fs::path root = pattern;
  for (const char* folder : {"home", "config", "data", "cache", "runtime", "empty"}) {
    fs::create_directories(root / folder);
  }
  fs::permissions(root / "runtime", fs::perms::owner_all);
  exportVariable("HOME", (root / "home").string());
  exportVariable("XDG_CONFIG_HOME", (root / "config").string());
  exportVariable("XDG_DATA_HOME", (root / "data").string());
  exportVariable("XDG_CACHE_HOME", (root / "cache").string());
  exportVariable("XDG_RUNTIME_DIR", (root / "runtime").string());
  exportVariable(mornik::test::kRootVariable, root.string());
  exportVariable("MORNIK_KEYRING_SESSION", "1");
  for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY"}) {
    unsetenv(name);  // NOLINT(concurrency-mt-unsafe): before any thread
  }
  std::string command;
  if (filterNames(argc, argv, "NoSessionBus")) {
    exportVariable("MORNIK_KEYRING_SESSION", "nobus");
  } else {
    // The bus finds its services in XDG_DATA_DIRS: an empty one offers none.
    if (filterNames(argc, argv, "NoSecretService")) {
      exportVariable("XDG_DATA_DIRS", (root / "empty").string());
      exportVariable("MORNIK_KEYRING_SESSION", "nokeyring");
    }
    command = "dbus-run-session -- ";
  }
  command += "'" + fs::read_symlink("/proc/self/exe").string() + "'";
  for (int i = 1; i < argc; ++i) command += std::string(" '") + argv[i] + "'";
  const int status = std::system(command.c_str());  // NOLINT(concurrency-mt-unsafe)
  std::error_code ignored;
  fs::remove_all(root, ignored);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string inside = mornik::test::environment("MORNIK_KEYRING_SESSION");
  if (inside.empty()) return runSession(argc, argv);
  if (inside == "1") {
    // Daemonises; it ends with the bus.
    mornik::test::run({"gnome-keyring-daemon", "--unlock", "--components=secrets"}, "secret");
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
