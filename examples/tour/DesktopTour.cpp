// The desktop: applications for a file, opening and revealing it, the
// clipboard, the application's own facts. On a machine without a desktop
// each step says what it did instead, and why.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "mornik/desktop/AppInfo.hpp"
#include "mornik/desktop/Clipboard.hpp"
#include "mornik/desktop/MacApp.hpp"
#include "mornik/platform/Pasteboard.hpp"
#include "mornik/platform/Workspace.hpp"

#include "tour/Tour.hpp"

namespace tour {

void desktop() {
  heading("Desktop: open, reveal, copy");
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / "mornik-tour-note.txt";
  std::ofstream(file) << "A note from the Mornik tour.\n";
  const mornik::URL url = mornik::URL::fileURL(file.string());
  const auto workspace = mornik::Workspace::shared();

  say(file.filename().string() + " is " + workspace->contentTypeOf(file));
  std::string names;
  for (const auto& app : mornik::MacApp::list(url, true)) {
    names += (names.empty() ? "" : ", ") + app.displayName();
  }
  say("open with: " + names + " (the file manager first)");

  const auto opened = workspace->open(url);
  say(opened.isSuccess() ? "opened it with its default application"
                         : "not opened: " + opened.error().localizedDescription());
  const auto revealed = mornik::MacApp{mornik::MacApp::finderURL(), url}.open()->wait();
  say(revealed.isSuccess() ? "revealed it in the file manager (or opened its folder)"
                           : "not revealed: " + revealed.error().localizedDescription());

  mornik::Clipboard::set(std::optional<std::string>("copied by the tour"));
  const auto desktopClipboard = mornik::Pasteboard::forDesktop();
  say(std::string("copied \"") + mornik::Pasteboard::general()->string().value_or("") + "\" to " +
      (desktopClipboard.isSuccess()
           ? "the desktop's clipboard"
           : "an in-process clipboard (" + desktopClipboard.error().localizedDescription() + ")"));
  say("this application: " + mornik::appName(mornik::Bundle::main()) +
      " (the placeholder: no info file beside the demo)");
}

}  // namespace tour
