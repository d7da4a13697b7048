#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Modal open and save dialogs of the desktop.
//
//   mornik::FileDialogs::Request request;
//   request.title = "Import";
//   auto chosen = mornik::FileDialogs::shared()->run(request);
//   // failure: no dialog could be shown; nothing: cancelled; else the paths
//
// Two adapters: xdg-desktop-portal's org.freedesktop.portal.FileChooser
// (what the user's desktop shows, and the only way out of a sandbox), and,
// where no portal answers, the zenity program (GTK). shared() picks the
// portal when its service is on the session bus, else zenity when it is
// installed.
//
// What each request field does, per adapter:
// | field            | portal                          | zenity                       |
// |------------------|---------------------------------|------------------------------|
// | title            | title                           | --title                      |
// | acceptLabel      | accept_label                    | not supported (ignored)      |
// | folder           | current_folder                  | --filename=<folder>/         |
// | chooseFolders    | directory (folders only)        | --directory                  |
// | multiple         | multiple                        | --multiple                   |
// | save, fileName   | SaveFile, current_name          | --save, --filename           |
// | showHidden       | not supported (the user's choice)| not supported (Ctrl+H)      |
// A dialog chooses either files or folders: neither adapter offers both.
//
// The call blocks until the user answers; the portal's method call itself
// waits at most `busTimeoutMs`. A dialog whose portal goes away while it is
// open ends as a failure.
//
// Thread safety: every member may be called from any thread; each call
// shows its own dialog.
class FileDialogs {
 public:
  struct Request {
    std::string title;
    std::string acceptLabel;       // empty: the dialog's own
    std::filesystem::path folder;  // empty: the dialog's choice
    bool chooseFolders = false;    // folders instead of files
    bool multiple = false;         // open only
    bool showHidden = false;       // see the table above
    bool save = false;             // a save dialog
    std::string fileName;          // save only: the name pre-filled
  };

  virtual ~FileDialogs() = default;
  FileDialogs(const FileDialogs&) = delete;
  FileDialogs& operator=(const FileDialogs&) = delete;

  // The chosen paths (one unless `multiple`), nothing when the user
  // cancelled, or a failure when the dialog could not be shown.
  virtual Result<std::optional<std::vector<std::filesystem::path>>> run(const Request& request) = 0;

  static std::shared_ptr<FileDialogs> makePortal(int busTimeoutMs = 5000);
  // Zenity; fails with "zenity is not installed" when it is not.
  static Result<std::shared_ptr<FileDialogs>> makeZenity();
  // The portal when it is on the session bus, else zenity; fails with "no
  // file dialog: neither the desktop portal nor zenity is available".
  static Result<std::shared_ptr<FileDialogs>> shared();

 protected:
  FileDialogs() = default;
};

}  // namespace mornik

MORNIK_EXPORTS_END
