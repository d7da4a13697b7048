#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// An installed application paired with a file: the applications that can
// open a file, and opening the file with the chosen one.
//
//   for (const mornik::MacApp& app : mornik::MacApp::list(mornik::asURL(path), true)) {
//     menu.add(app.displayName(), [app] { app.open(); });
//   }
//
// On Linux an application is its .desktop file: appURL is the file URL of
// that file, as the desktop's application database lists it (GIO).
// The file manager stands where the other desktop's file viewer stood: its
// entry, finderURL(), is the file URL of the path
// "/org/freedesktop/FileManager1" (the D-Bus object of the file manager
// service), and opening a file with it reveals the file in the file manager
// (Workspace::reveal) instead of launching anything.
//
// Opening runs on the pool of the pool identity "MacApp", which keeps the
// future until it is discarded; a failure is also appended to that pool's
// error pool. Opening a file reports failures the other desktop could not
// have: a file manager that cannot be reached makes the future fail.
//
// Thread safety: a MacApp is a value; every member may be called from any
// thread.
struct MacApp {
  URL appURL;   // the application (its .desktop file)
  URL fileURL;  // the file to open with it

  const URL& id() const { return appURL; }
  // The application's display name: Name= of its .desktop file (what the
  // desktop's menus show), else, when that cannot be read, the file name
  // without its extension. Name= rather than the file name, because here the
  // file name is an identifier ("org.example.Viewer.desktop") that people
  // are not meant to read; WebBrowser::filteredList() looks at both.
  std::string displayName() const;
  // The application's icon name (Icon=), "system-file-manager" for the file
  // manager, "" when it has none.
  std::string icon() const;
  // Opens fileURL with appURL (see above); started at once.
  std::shared_ptr<Flow::Future<void>> open() const;

  // file:///org/freedesktop/FileManager1.
  static URL finderURL();
  // The applications that open fileURL's content type, in the order of the
  // application database (default first); with `withFinder`, the file
  // manager's entry first of all.
  static std::vector<MacApp> list(const URL& fileURL, bool withFinder);

  friend bool operator==(const MacApp&, const MacApp&) = default;
};

}  // namespace mornik

template <>
struct std::hash<mornik::MacApp> {
  std::size_t operator()(const mornik::MacApp& app) const noexcept {
    const std::hash<std::string> text;
    return text(app.appURL.absoluteString()) * 31 + text(app.fileURL.absoluteString());
  }
};

MORNIK_EXPORTS_END
