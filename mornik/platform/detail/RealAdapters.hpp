#pragma once

#include <memory>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {
class DesktopFiles;
class FileDialogs;
class Pasteboard;
class SoundOutput;
class Workspace;
}  // namespace mornik

// The desktop library's adapters for this session, as each interface's
// forDesktop() describes them; registered by platform/DesktopAdapters.cpp.
namespace mornik::detail {

Result<std::shared_ptr<Workspace>> desktopWorkspace();
Result<std::shared_ptr<Pasteboard>> desktopPasteboard();
Result<std::shared_ptr<FileDialogs>> desktopFileDialogs();
Result<std::shared_ptr<SoundOutput>> desktopSoundOutput();
Result<std::shared_ptr<DesktopFiles>> desktopFiles();

}  // namespace mornik::detail

MORNIK_EXPORTS_END
