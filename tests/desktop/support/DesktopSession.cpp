// main() of the desktop tests: each run (every test as CTest starts it, and
// the listing) gets a private desktop: a temporary home and XDG folders with
// fake applications, Xvfb, and a session bus (it runs itself again under
// dbus-run-session), all removed afterwards. A missing tool leaves its part
// out; the tests that need it skip, saying so.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "tests/desktop/support/Desktop.hpp"

namespace fs = std::filesystem;

namespace {

// Fake applications whose Exec records its arguments, a MIME type of our
// own (*.mornik), and the default applications.
void makeApplications(const fs::path& root) {
  const fs::path data = root / "data";
  const std::string recorder = (root / "bin/record").string();
  using mornik::test::writeFile;
  writeFile(root / "bin/record", "#!/bin/sh\nname=$1; shift\nprintf '%s\\n' \"$*\" >> " +
                                     (root / "records").string() + "/$name.log\n");
  writeFile(root / "bin/x-terminal-emulator", "#!/bin/sh\n" + recorder + " terminal \"$(pwd)\"\n");
  for (const char* program : {"bin/record", "bin/x-terminal-emulator"}) {
    fs::permissions(root / program, fs::perms::owner_all);
  }
  const auto app = [&](const std::string& file, const std::string& name, const std::string& exec,
                       const std::string& types, const fs::path& folder = "data") {
    writeFile(root / folder / "applications" / file,
              "[Desktop Entry]\nType=Application\nName=" + name +
                  "\nIcon=" + file.substr(0, file.find('.')) + "-icon\nExec=" + exec +
                  "\nMimeType=" + types + "\n");
  };
  app("viewer.desktop", "Viewer", recorder + " viewer %U", "application/x-mornik;inode/directory;");
  app("other.desktop", "Other", recorder + " other %U", "application/x-mornik;");
  app("broken.desktop", "Broken", "/nonexistent/program %U", "application/x-mornik;");
  // Web browsers, some of them a player or a download helper, in the user's
  // and the system's data folders; shown names unlike their desktop file IDs.
  const std::string https = "x-scheme-handler/https;";
  app("browser.desktop", "Web Browser", "true %U", https, "share");
  app("Downie.desktop", "Downie Video Downloader", "true %U", https, "share");
  app("mpv.desktop", "mpv Media Player", "true %U", https);
  app("org.example.Getter.desktop", "Folx", "true %U", https);
  app("folx.desktop", "folx", "true %U", https);
  writeFile(root / "config/mimeapps.list",
            "[Default Applications]\napplication/x-mornik=viewer.desktop\n"
            "inode/directory=viewer.desktop\n");
  writeFile(
      data / "mime/packages/mornik.xml",
      R"(<?xml version="1.0"?><mime-info xmlns="http://www.freedesktop.org/standards/shared-mime-info">
<mime-type type="application/x-mornik"><comment>Mornik test</comment><glob pattern="*.mornik"/></mime-type>
</mime-info>)");
  // The system's data folders the tools need (MIME database, sounds, GTK's
  // settings schemas and icons); its applications are the fake ones above.
  for (const char* each : {"mime", "sounds", "glib-2.0", "icons", "themes"}) {
    std::error_code ignored;
    fs::create_directory_symlink(fs::path("/usr/share") / each, root / "share" / each, ignored);
  }
  fs::create_directories(root / "records");
  mornik::test::run({"update-mime-database", (data / "mime").string()});
  for (const fs::path& folder : {data, root / "share"}) {
    mornik::test::run({"update-desktop-database", (folder / "applications").string()});
  }
}

void exportVariable(const char* name, const std::string& value) {
  setenv(name, value.c_str(), 1);  // NOLINT(concurrency-mt-unsafe): before any thread
}

int runSession(int argc, char** argv) {
  char pattern[] = "/tmp/mornik-desktop-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const fs::path root = pattern;
  for (const char* folder : {"home", "config", "data", "cache", "state", "runtime"}) {
    fs::create_directories(root / folder);
  }
  fs::permissions(root / "runtime", fs::perms::owner_all);
  exportVariable("HOME", (root / "home").string());
  exportVariable("XDG_CONFIG_HOME", (root / "config").string());
  exportVariable("XDG_DATA_HOME", (root / "data").string());
  exportVariable("XDG_CACHE_HOME", (root / "cache").string());
  exportVariable("XDG_STATE_HOME", (root / "state").string());
  exportVariable("XDG_RUNTIME_DIR", (root / "runtime").string());
  exportVariable("XDG_DATA_DIRS", (root / "share").string());
  exportVariable("XDG_CONFIG_DIRS", (root / "config").string());
  exportVariable("PATH", (root / "bin").string() + ":" + std::getenv("PATH"));  // NOLINT
  exportVariable("GSETTINGS_BACKEND", "memory");
  exportVariable("NO_AT_BRIDGE", "1");
  exportVariable(mornik::test::kRootVariable, root.string());
  for (const char* name :
       {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY", "SNAP", "TERMINAL"}) {
    unsetenv(name);  // NOLINT(concurrency-mt-unsafe): before any thread
  }
  makeApplications(root);
  // Xvfb on a free display: it writes the display's number to the pipe.
  // -noreset: a server resets when its last client leaves and refuses
  // connections meanwhile, which a test that starts then would meet.
  int fds[2] = {-1, -1};
  if (pipe(fds) != 0) return 1;
  mornik::test::Background xvfb({"Xvfb", "-displayfd", std::to_string(fds[1]), "-nolisten", "tcp",
                                 "-noreset", "-screen", "0", "1024x768x24"});
  close(fds[1]);
  std::string display;
  for (char c = 0; xvfb.started() && read(fds[0], &c, 1) == 1 && c != '\n';) display.push_back(c);
  close(fds[0]);
  if (!display.empty()) exportVariable("DISPLAY", ":" + display);
  exportVariable("MORNIK_DESKTOP_SESSION", "1");

  // This program again, inside a session bus of its own.
  std::string command = mornik::test::onPath("dbus-run-session") ? "dbus-run-session -- " : "";
  command += "'" + fs::read_symlink("/proc/self/exe").string() + "'";
  for (int i = 1; i < argc; ++i) command += std::string(" '") + argv[i] + "'";
  const int status = std::system(command.c_str());  // NOLINT(concurrency-mt-unsafe)
  std::error_code ignored;
  fs::remove_all(root, ignored);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* inside = std::getenv("MORNIK_DESKTOP_SESSION");  // NOLINT(concurrency-mt-unsafe)
  if (inside == nullptr) return runSession(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
