#include "mornik/platform/DesktopAdapters.hpp"

#include "mornik/platform/detail/DesktopFactories.hpp"

namespace mornik {

void useDesktopAdapters() {
  detail::setDesktopFactory(&detail::desktopWorkspace);
  detail::setDesktopFactory(&detail::desktopPasteboard);
  detail::setDesktopFactory(&detail::desktopFileDialogs);
  detail::setDesktopFactory(&detail::desktopSoundOutput);
  detail::setDesktopFactory(&detail::desktopFiles);
  detail::setDesktopFactory(&detail::desktopSecretStore);
  detail::setDesktopFactory(&detail::desktopJournal);
}

namespace {

// Installed as the library is loaded, before the program's main(): the
// libraries it depends on (mornik among them) are initialised first.
[[maybe_unused]] const bool kInstalled = (useDesktopAdapters(), true);

}  // namespace

}  // namespace mornik
