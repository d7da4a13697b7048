// main() of the keychain tests: each run (every test as CTest starts it, and
// the listing) gets a temporary home and runs itself again under a session
// bus of its own (dbus-run-session) with gnome-keyring-daemon, its login
// keyring unlocked by a password, no prompt, stopped at the end. Tests named
// *NoSessionBus* run without a bus; *NoSecretService* with a bus whose
// secret service fails to start.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

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
      mornik::test::run(
          {"gdbus", "wait", "--session", "--timeout", "10", "org.freedesktop.secrets"});
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
