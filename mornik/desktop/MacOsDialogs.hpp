#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {

// Options of the open dialogs.
enum class MacOsDlgSettings { canChooseDirs, canChooseFiles, showsHiddenFiles };
// Options of the save dialog.
enum class MacOsSaveDlgSettings { showsHiddenFiles };

// Modal open and save dialogs.
//
//   if (auto folder = mornik::MacOsDialogs::open("Choose a project",
//                                                {mornik::MacOsDlgSettings::canChooseDirs},
//                                                std::nullopt, "Open")) {
//     load(*folder);
//   }
//
// The dialog is the desktop's file chooser (xdg-desktop-portal), else
// zenity (FileDialogs::shared()). How the options map:
// - the title, translated (AppIdentity::localizedString: the application's
//   catalogue, the text itself when it has no translation), is the
//   dialog's title; neither dialog has a message line besides;
// - canChooseDirs and canChooseFiles reach the dialog as given; with one of
//   them the dialog chooses folders only or files only. With both, the
//   portal and zenity offer files only, as neither can offer both kinds at
//   once; with neither, nothing can be chosen, so the call answers none
//   without showing a dialog;
// - showsHiddenFiles reaches the dialog too, but neither the portal nor
//   zenity can be told to show hidden files: there the person toggles them
//   (Ctrl+H), and the desktop remembers that choice;
// - startUrl / startDir: the folder the dialog starts in;
// - submitBtnText: the confirm button's label as given (portal only;
//   zenity keeps its own);
// - resize indicator, folder creation and "may not be hidden": what the
//   desktop's dialogs always do.
// Confirming answers the chosen URL(s); cancelling answers none. When no
// dialog can be shown (no portal, no zenity, no display) the plain forms
// print the failure as a line and answer none; the R forms return it.
//
// Threading: each call blocks its thread until the user answers; call it
// from the main thread, as a modal dialog.
class MacOsDialogs {
 public:
  MacOsDialogs() = delete;

  static std::optional<URL> open(const std::string& title, const std::set<MacOsDlgSettings>& conf,
                                 const std::optional<URL>& startUrl,
                                 const std::optional<std::string>& submitBtnText);
  static std::optional<std::vector<URL>> openMany(const std::string& title,
                                                  const std::set<MacOsDlgSettings>& conf,
                                                  const std::optional<URL>& startUrl,
                                                  const std::optional<std::string>& submitBtnText);
  static std::optional<URL> save(const std::string& title, const std::optional<URL>& startDir,
                                 const std::string& fileName,
                                 const std::set<MacOsSaveDlgSettings>& conf);

  static Result<std::optional<URL>> openR(const std::string& title,
                                          const std::set<MacOsDlgSettings>& conf,
                                          const std::optional<URL>& startUrl,
                                          const std::optional<std::string>& submitBtnText);
  static Result<std::optional<std::vector<URL>>> openManyR(
      const std::string& title, const std::set<MacOsDlgSettings>& conf,
      const std::optional<URL>& startUrl, const std::optional<std::string>& submitBtnText);
  static Result<std::optional<URL>> saveR(const std::string& title,
                                          const std::optional<URL>& startDir,
                                          const std::string& fileName,
                                          const std::set<MacOsSaveDlgSettings>& conf);
};

}  // namespace mornik

MORNIK_EXPORTS_END
