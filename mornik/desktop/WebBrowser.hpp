#pragma once

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/flow/future/Future.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik::Flow {
class Pool;
}

namespace mornik {

// An installed web browser: the browsers there are, a main one, and opening
// an address in a chosen one.
//
//   mornik::WebBrowser::main().open("https://example.org")
//       ->onFailure([](const mornik::Error& e) { show(e); });
//
// On Linux a browser is a .desktop file that handles the https scheme
// (x-scheme-handler/https) in the desktop's application database, and
// appURL is the file URL of that file. list() keeps the ones whose path
// holds "/applications/" (the folder every application database entry
// lives in). The fallback browser, when there is none, is the program
// "/usr/bin/x-www-browser" (the system's alternative for the job), started
// with the address.
//
// Futures of open() are made on `pool` and kept there until discarded; by
// default the pool of the pool identity "WebBrowser". open() does not start
// the opening: it starts when the caller first observes the future.
//
// Thread safety: a WebBrowser is a value; every member may be called from
// any thread.
struct WebBrowser {
  std::shared_ptr<Flow::Pool> pool;
  URL appURL;

  // A browser on the default pool.
  explicit WebBrowser(URL appURL);
  WebBrowser(std::shared_ptr<Flow::Pool> pool, URL appURL);

  const URL& id() const { return appURL; }
  // As MacApp::displayName() and MacApp::icon().
  std::string displayName() const;
  std::string icon() const;

  // Opens `url` in this browser once the future is observed.
  std::shared_ptr<Flow::Future<void>> open(const URL& url) const;
  // The same for a text; a text that is not a URL gives a future already
  // failed with "can't convert to URL: <text>" (code 0), in no pool.
  std::shared_ptr<Flow::Future<void>> open(std::string_view url) const;

  static std::vector<WebBrowser> list();
  // list() without the browsers named in appsToFilter(), order kept. A
  // browser's name here is its displayName() (Name=, what the desktop
  // shows) and also its desktop file ID without ".desktop" ("mpv" for
  // mpv.desktop, "kde-Folx" for applications/kde/Folx.desktop): an
  // application that shows another name than its file's stays out all the
  // same. Both comparisons are exact and case-sensitive.
  static std::vector<WebBrowser> filteredList();
  // The first of list(), else the fallback browser.
  static WebBrowser main();
  // Names never offered as browsers: download helpers and players that also
  // open web addresses.
  static const std::set<std::string>& appsToFilter();
  // file:///usr/bin/x-www-browser.
  static URL fallbackURL();
};

}  // namespace mornik

MORNIK_EXPORTS_END
