#pragma once

#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

// The file-system steps shared by FS and the URL operations.
namespace mornik::detail {

// Copies a file, a link (as a link) or a folder tree to `destination`,
// which must not exist (EEXIST). On failure nothing is left at the
// destination. Errors: POSIX, "copy <from> to <to>: <system text>".
Result<void> copyItem(const std::string& source, const std::string& destination);
// Renames without replacing; across file systems copies, then removes the
// source. Errors: POSIX, "move <from> to <to>: <system text>".
Result<void> moveItem(const std::string& source, const std::string& destination);
// Removes a file, link or folder tree. Errors: POSIX, "remove <path>: <text>".
Result<void> removeItem(const std::string& path);
// Whether something (not a dangling link) is at the path.
bool itemExists(const std::string& path);
// Whether a folder (or a link to one) is at the path.
bool folderExists(const std::string& path);

// The names the Linux file manager hides in one folder: dot names
// (".cache"), backups ("notes~") and the names listed one per line in the
// folder's ".hidden" file. The flat listings and the file information's
// isHidden() all ask this, so they leave out what the user's file manager
// leaves out; dot names alone would show backups and .hidden entries the
// user never sees there.
class HiddenNames {
 public:
  // Reads the folder's ".hidden" once; a missing or unreadable one lists
  // nothing.
  explicit HiddenNames(const std::string& folder);
  bool contains(std::string_view name) const;

 private:
  std::set<std::string, std::less<>> listed_;
};
// Whether the file manager hides the item at the path (by its last name, in
// its folder; trailing slashes are ignored). Nothing needs to be there.
bool isHiddenName(std::string_view path);

// Plays the sound theme's "trash-empty" sound through the shared sound
// output, without waiting for it, on trashSoundQueue() in the order asked.
void playTrashSound();
// The serial queue the trash sound is played on.
DispatchQueue trashSoundQueue();

// The extension of the path's last component (a trailing "/" ignored): the
// text after its last ".", unless that dot opens the name. As the desktop
// reads names, ".bashrc" has none and ".notes.md" has "md". "" when none.
std::string pathExtension(std::string_view path);

}  // namespace mornik::detail

MORNIK_EXPORTS_END
