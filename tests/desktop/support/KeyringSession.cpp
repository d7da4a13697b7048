// main() of the keychain tests: each run (every test as CTest starts it, and
// the listing) gets a temporary home and runs itself again under a session
// bus of its own (dbus-run-session) with gnome-keyring-daemon, its login
// keyring unlocked by a password, no prompt, stopped at the end. Tests named
// *NoSessionBus* run without a bus; *NoSecretService* with a bus whose
// secret service fails to start.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include "tests/desktop/support/Desktop.hpp"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  // NOLINTBEGIN(concurrency-mt-unsafe): the environment is set before any thread
  const std::string mode = mornik::test::environment("MORNIK_KEYRING_SESSION");
  if (!mode.empty()) {
    std::unique_ptr<mornik::test::Background> keyring;
    if (mode == "keyring") {
      const auto password = mornik::test::desktopRoot() / "password";
      std::ofstream(password) << "secret";
      keyring = std::make_unique<mornik::test::Background>(std::vector<std::string>{
          "sh", "-c",
          "exec gnome-keyring-daemon --foreground --unlock --components=secrets < \"$0\"",
          password.string()});
      // Polls until the daemon owns its name on the bus (at most 10 s).
      for (int i = 0; i < 100; ++i) {
        if (mornik::test::run({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                               "--object-path", "/org/freedesktop/DBus", "--method",
                               "org.freedesktop.DBus.NameHasOwner", "org.freedesktop.secrets"})
                .output.find("true") != std::string::npos) {
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
  }
  char pattern[] = "/tmp/mornik-keyring-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const fs::path root = pattern;
  fs::create_directories(root / "runtime");
  fs::permissions(root / "runtime", fs::perms::owner_all);
  setenv("HOME", root.c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (root / "runtime").c_str(), 1);
  setenv(mornik::test::kRootVariable, root.c_str(), 1);
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  unsetenv("DISPLAY");
  std::string args;
  for (int i = 1; i < argc; ++i) args += std::string(" '") + argv[i] + "'";
  std::string command = "dbus-run-session -- ";
  setenv("MORNIK_KEYRING_SESSION", "keyring", 1);
  if (args.find("NoSessionBus") != std::string::npos) {
    command.clear();
    setenv("MORNIK_KEYRING_SESSION", "none", 1);
  } else if (args.find("NoSecretService") != std::string::npos) {
    // The user's service file comes first: a keyring that cannot start.
    std::filesystem::create_directories(root / "data/dbus-1/services");
    std::ofstream(root / "data/dbus-1/services/org.freedesktop.secrets.service")
        << "[D-BUS Service]\nName=org.freedesktop.secrets\nExec=/bin/false\n";
    setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    setenv("MORNIK_KEYRING_SESSION", "none", 1);
  }
  const int status = std::system(
      (command + "'" + fs::read_symlink("/proc/self/exe").string() + "'" + args).c_str());
  // NOLINTEND(concurrency-mt-unsafe)
  std::error_code ignored;
  fs::remove_all(root, ignored);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
