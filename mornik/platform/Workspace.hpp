#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// An installed application, as the desktop's application database lists it.
struct AppEntry {
  std::string id;              // desktop file id ("org.example.Viewer.desktop")
  std::filesystem::path path;  // its .desktop file
  std::string name;            // display name (Name=, localized)
  std::string icon;            // icon name or path (Icon=), "" when none
  friend bool operator==(const AppEntry&, const AppEntry&) = default;
};

// Where the process runs: on the host, or in a sandbox whose desktop
// actions go through xdg-desktop-portal.
enum class Sandbox { none, flatpak, snap };

// Flatpak when `flatpakInfo` (normally "/.flatpak-info") exists, else snap
// when $SNAP is set and not empty, else none.
Sandbox detectSandbox(const std::filesystem::path& flatpakInfo = "/.flatpak-info");

// The desktop's workspace: opening files and addresses, the applications
// that handle a content type, revealing items in the file manager, a
// terminal in a folder.
//
//   auto workspace = mornik::Workspace::shared();
//   workspace->open(mornik::asURL("/home/me/report.pdf"));     // default application
//   workspace->reveal({"/home/me/report.pdf"});                // file manager, selected
//   for (const auto& app : workspace->applicationsFor("text/plain")) show(app.name);
//
// The real adapters live in the desktop library (mornik-desktop); a program
// that does not link it gets a workspace whose every request fails with
// ENOSYS ("the desktop workspace is not available: ..."), and
// MemoryWorkspace stands in for the desktop in tests.
//
// Two real adapters implement it. The host adapter uses GIO's application
// database (content types from shared-mime-info, associations from
// mimeapps.list and mimeinfo.cache) and launches applications through GIO;
// it reveals items with the file manager's org.freedesktop.FileManager1
// D-Bus service and, when no file manager owns or can start that name (or
// there is no session bus), opens the containing folder instead; a terminal
// is x-terminal-emulator, else $TERMINAL, started in the folder.
// The sandbox adapter (inside Flatpak or Snap) opens files, folders and
// addresses through xdg-desktop-portal's org.freedesktop.portal.OpenURI,
// which lets the user's desktop choose the application. Inside a sandbox:
// openWith() cannot name the application and asks the user to choose one
// instead; showProperties() reveals the items; applicationsFor() lists only
// what the sandbox itself can see; openTerminal() fails with "a terminal
// cannot be opened from inside a sandbox".
//
// Every D-Bus call waits at most `busTimeoutMs` (default 5000) for its
// answer; a service that does not answer is a failure naming it, never a
// hang. Launching returns once the application has been started: it does
// not wait for it, and a program that starts and then fails is not seen.
//
// Thread safety: every member may be called from any thread.
class Workspace {
 public:
  virtual ~Workspace() = default;
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  // The content type of a file (from its contents and name; for a missing
  // file from its name alone), such as "text/plain"; never empty
  // ("application/octet-stream" when nothing is known).
  virtual std::string contentTypeOf(const std::filesystem::path& file) const = 0;

  // The applications that open `contentType` (a MIME type, or
  // "x-scheme-handler/<scheme>" for addresses), the default first, then the
  // recommended ones, then the others. Answers are cached per type until the
  // application database changes (installed or removed .desktop files, a
  // changed mimeapps.list or mimeinfo.cache).
  virtual std::vector<AppEntry> applicationsFor(std::string_view contentType) = 0;
  // The application described by a .desktop file, or a failure when it
  // cannot be read ("not an application: <path>").
  virtual Result<AppEntry> application(const std::filesystem::path& desktopFile) = 0;

  // Opens a file or an address with its default application. Fails when
  // there is none, or when it cannot be started.
  virtual Result<void> open(const URL& item) = 0;
  // Opens the items with the application: a .desktop file, or a program
  // (started with the items' paths or addresses as arguments).
  virtual Result<void> openWith(const std::filesystem::path& application,
                                const std::vector<URL>& items) = 0;
  // Shows the items in the file manager, selected.
  virtual Result<void> reveal(const std::vector<std::filesystem::path>& items) = 0;
  // Shows the folder's contents in the file manager.
  virtual Result<void> openFolder(const std::filesystem::path& folder) = 0;
  // Shows the file manager's properties window of the items.
  virtual Result<void> showProperties(const std::vector<std::filesystem::path>& items) = 0;
  // Starts a terminal emulator whose shell starts in `folder`. Fails with
  // "no terminal emulator: neither x-terminal-emulator nor $TERMINAL" when
  // there is none.
  virtual Result<void> openTerminal(const std::filesystem::path& folder) = 0;

  struct Options {
    int busTimeoutMs = 5000;  // per D-Bus call
  };
  // The host adapter (mornik-desktop).
  static std::shared_ptr<Workspace> makeDesktop(Options options);
  // The sandbox adapter (mornik-desktop).
  static std::shared_ptr<Workspace> makeSandboxed(Options options);
  // The adapter for `sandbox` (mornik-desktop).
  static std::shared_ptr<Workspace> make(Sandbox sandbox, Options options);

  // The adapter for detectSandbox() with default options, when the program
  // links the desktop library; else the failure described above.
  static Result<std::shared_ptr<Workspace>> forDesktop();
  // The process-wide workspace: the one installed last, else (made on first
  // use) forDesktop(), else one that fails every request with its failure.
  static std::shared_ptr<Workspace> shared();
  // Installs `workspace` as the shared one (null: the default again).
  static void setShared(std::shared_ptr<Workspace> workspace);

 protected:
  Workspace() = default;
};

// A workspace in memory, for tests and for machines without a desktop: it
// records every request as a line and answers from what it was given.
//   "open <address>", "openWith <application> <address>...",
//   "reveal <path>...", "openFolder <path>", "properties <path>...",
//   "terminal <path>"
//
// Thread safety: every member may be called from any thread.
class MemoryWorkspace final : public Workspace {
 public:
  MemoryWorkspace() = default;

  std::string contentTypeOf(const std::filesystem::path& file) const override
      MORNIK_EXCLUDES(lock_);
  std::vector<AppEntry> applicationsFor(std::string_view contentType) override
      MORNIK_EXCLUDES(lock_);
  Result<AppEntry> application(const std::filesystem::path& desktopFile) override
      MORNIK_EXCLUDES(lock_);
  Result<void> open(const URL& item) override MORNIK_EXCLUDES(lock_);
  Result<void> openWith(const std::filesystem::path& application,
                        const std::vector<URL>& items) override MORNIK_EXCLUDES(lock_);
  Result<void> reveal(const std::vector<std::filesystem::path>& items) override
      MORNIK_EXCLUDES(lock_);
  Result<void> openFolder(const std::filesystem::path& folder) override MORNIK_EXCLUDES(lock_);
  Result<void> showProperties(const std::vector<std::filesystem::path>& items) override
      MORNIK_EXCLUDES(lock_);
  Result<void> openTerminal(const std::filesystem::path& folder) override MORNIK_EXCLUDES(lock_);

  // The applications of a content type; application() finds them by path.
  void setApplications(const std::string& contentType, std::vector<AppEntry> apps)
      MORNIK_EXCLUDES(lock_);
  // The content type of files whose name ends in `suffix` (".txt");
  // others are "application/octet-stream".
  void setContentType(const std::string& suffix, const std::string& type) MORNIK_EXCLUDES(lock_);
  // What every request answers from now on (success at first).
  void setOutcome(Result<void> outcome) MORNIK_EXCLUDES(lock_);
  // The requests so far, oldest first.
  std::vector<std::string> requests() const MORNIK_EXCLUDES(lock_);

 private:
  Result<void> note(std::string request) MORNIK_EXCLUDES(lock_);

  mutable UnfairLock lock_;
  std::vector<std::string> requests_ MORNIK_GUARDED_BY(lock_);
  std::vector<std::pair<std::string, std::vector<AppEntry>>> apps_ MORNIK_GUARDED_BY(lock_);
  std::vector<std::pair<std::string, std::string>> types_ MORNIK_GUARDED_BY(lock_);
  Result<void> outcome_ MORNIK_GUARDED_BY(lock_);
};

}  // namespace mornik

MORNIK_EXPORTS_END
