#pragma once

#include <memory>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"

MORNIK_EXPORTS_BEGIN

namespace mornik {
class DesktopFiles;
class JournalSink;
class FileDialogs;
class Pasteboard;
class SecretStore;
class SoundOutput;
class Workspace;
}  // namespace mornik

// The desktop library registers its adapters' factories here when it is
// loaded (platform/DesktopAdapters.cpp); each interface's forDesktop() and
// shared() use them (detail/AdapterSlot.hpp).
namespace mornik::detail {

void setDesktopFactory(Result<std::shared_ptr<Workspace>> (*factory)());
void setDesktopFactory(Result<std::shared_ptr<Pasteboard>> (*factory)());
void setDesktopFactory(Result<std::shared_ptr<FileDialogs>> (*factory)());
void setDesktopFactory(Result<std::shared_ptr<SoundOutput>> (*factory)());
void setDesktopFactory(Result<std::shared_ptr<DesktopFiles>> (*factory)());
void setDesktopFactory(Result<std::shared_ptr<SecretStore>> (*factory)());
void setDesktopFactory(Result<std::shared_ptr<JournalSink>> (*factory)());

// The factories themselves, defined beside the real adapters in the
// desktop library: each makes the adapter for this session, as its
// interface's forDesktop() describes it.
Result<std::shared_ptr<Workspace>> desktopWorkspace();
Result<std::shared_ptr<Pasteboard>> desktopPasteboard();
Result<std::shared_ptr<FileDialogs>> desktopFileDialogs();
Result<std::shared_ptr<SoundOutput>> desktopSoundOutput();
Result<std::shared_ptr<DesktopFiles>> desktopFiles();
Result<std::shared_ptr<SecretStore>> desktopSecretStore();
Result<std::shared_ptr<JournalSink>> desktopJournal();

}  // namespace mornik::detail

MORNIK_EXPORTS_END
