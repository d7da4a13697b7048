#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/ThreadAnnotations.hpp"
#include "mornik/concurrency/UnfairLock.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Modal open and save dialogs of the desktop.
//
//   mornik::FileDialogs::Request request;
//   request.title = "Import";
//   auto chosen = mornik::FileDialogs::shared()->run(request);
//   // failure: no dialog could be shown; nothing: cancelled; else the paths
//
// Two real adapters, in the desktop library (mornik-desktop):
// xdg-desktop-portal's org.freedesktop.portal.FileChooser (what the user's
// desktop shows, and the only way out of a sandbox), and, where no portal
// answers, the zenity program (GTK). forDesktop() picks the portal when its
// service is on the session bus, else zenity when it is installed and there
// is a display. MemoryFileDialogs answers in tests instead of a person.
//
// What each request field does, per adapter:
// | field            | portal                          | zenity                       |
// |------------------|---------------------------------|------------------------------|
// | title            | title                           | --title                      |
// | acceptLabel      | accept_label                    | not supported (ignored)      |
// | folder           | current_folder                  | --filename=<folder>/         |
// | chooseFiles,     | directory, when folders only    | --directory, when folders    |
// |  chooseFolders   |                                 |  only                        |
// | multiple         | multiple                        | --multiple                   |
// | save, fileName   | SaveFile, current_name          | --save, --filename           |
// | showHidden       | not supported                   | not supported                |
// Neither adapter can offer files and folders in one dialog, nor be told to
// show hidden files: with both kinds allowed they offer files, and hidden
// files are the person's toggle in the dialog (Ctrl+H), which the desktop
// remembers from one dialog to the next. An adapter of the application's
// own (setShared()) gets every field as the caller set it.
//
// The call blocks until the user answers; the portal's method call itself
// waits at most `busTimeoutMs`. A dialog whose portal goes away while it is
// open ends as a failure. While it waits, the calling thread counts as
// blocked for the worker pool (BlockingScope), so a dialog run from a queue
// does not hold up other work. The portal adapter waits for the answer by
// iterating a private GLib context of its own: nothing else runs on the
// calling thread meanwhile, neither the main queue nor the thread's other
// loops (a GTK application's default context included), so main-queue work
// never runs re-entrantly inside run(). Called on the main thread, run()
// therefore freezes that thread's user interface until the answer; run it
// from a queue and deliver the answer to the main queue instead.
//
// Thread safety: every member may be called from any thread; each call
// shows its own dialog.
class FileDialogs {
 public:
  struct Request {
    std::string title;
    std::string acceptLabel;       // empty: the dialog's own
    std::filesystem::path folder;  // empty: the dialog's choice
    bool chooseFiles = true;       // open only: files can be chosen
    bool chooseFolders = false;    // open only: folders can be chosen
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

  // The portal adapter. (mornik-desktop)
  static std::shared_ptr<FileDialogs> makePortal(int busTimeoutMs = 5000);
  // Zenity; fails with "zenity is not installed" when it is not.
  // (mornik-desktop)
  static Result<std::shared_ptr<FileDialogs>> makeZenity();
  // The portal when it is on the session bus, else zenity; fails with "no
  // file dialog: neither the desktop portal nor zenity is available", or
  // with ENOSYS when the program does not link the desktop library.
  static Result<std::shared_ptr<FileDialogs>> forDesktop();
  // The process-wide dialogs: the ones installed last, else (chosen once,
  // on first use) forDesktop(), else dialogs whose run() fails with its
  // failure.
  static std::shared_ptr<FileDialogs> shared();
  // Installs `dialogs` as the shared ones; null: the default again.
  static void setShared(std::shared_ptr<FileDialogs> dialogs);

 protected:
  FileDialogs() = default;
};

// Dialogs that a program answers instead of a person (tests, scripted
// runs): each run() records its request and takes the oldest queued
// answer; with none queued, it answers as a person who cancels.
//
// Thread safety: every member may be called from any thread.
class MemoryFileDialogs final : public FileDialogs {
 public:
  using Answer = Result<std::optional<std::vector<std::filesystem::path>>>;

  MemoryFileDialogs() = default;

  Answer run(const Request& request) override MORNIK_EXCLUDES(lock_);
  // Queues the answer of a later run().
  void answerNext(Answer answer) MORNIK_EXCLUDES(lock_);
  // The requests run so far, oldest first.
  std::vector<Request> requests() const MORNIK_EXCLUDES(lock_);

 private:
  mutable UnfairLock lock_;
  std::vector<Answer> answers_ MORNIK_GUARDED_BY(lock_);
  std::vector<Request> requests_ MORNIK_GUARDED_BY(lock_);
};

}  // namespace mornik

MORNIK_EXPORTS_END
