// The one shape of the adapters of platform/, in a program that links only
// mornik: the desktop library's adapters are missing, and the in-memory
// ones stand in for the desktop.
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/files/FileInfo.hpp"
#include "mornik/platform/DesktopFiles.hpp"
#include "mornik/platform/FileDialogs.hpp"
#include "mornik/platform/Pasteboard.hpp"
#include "mornik/platform/SoundPlayer.hpp"
#include "mornik/platform/Workspace.hpp"

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

std::string outcome(const Result<void>& result) {
  return result.isSuccess() ? "done" : result.error().localizedDescription();
}

// forDesktop() fails naming what to link; a request to shared() answers
// `fallback` (as the default does), until a fake is installed and again
// after setShared(nullptr).
template <class Interface>
void expectSeam(const std::string& what, Result<std::shared_ptr<Interface>> (*forDesktop)(),
                std::shared_ptr<Interface> (*shared)(),
                void (*setShared)(std::shared_ptr<Interface>), std::shared_ptr<Interface> fake,
                const std::function<Result<void>(Interface&)>& request, std::string fallback = {}) {
  SCOPED_TRACE(what);
  const std::string why =
      what + " is not available: link mornik-desktop and call mornik::useDesktopAdapters()";
  const Result<std::shared_ptr<Interface>> made = forDesktop();
  ASSERT_TRUE(made.isFailure());
  EXPECT_TRUE(made.error().is(kPOSIXErrorDomain, ENOSYS));
  EXPECT_EQ(made.error().localizedDescription(), why);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(outcome(request(*shared())), fallback.empty() ? why : fallback);
    setShared(fake);
    EXPECT_EQ(shared(), fake);
    setShared(nullptr);
  }
}

TEST(AdapterSeam, WithoutTheDesktopLibraryEachSaysWhatToLinkAndFallsBack) {
  const test::TempDir dir;
  test::writeFile(dir / "sound.wav", "");
  expectSeam<Workspace>("the desktop workspace", &Workspace::forDesktop, &Workspace::shared,
                        &Workspace::setShared, std::make_shared<MemoryWorkspace>(),
                        [](Workspace& w) { return w.reveal({"/tmp"}); });
  expectSeam<Pasteboard>(
      "the desktop clipboard", &Pasteboard::forDesktop, &Pasteboard::general,
      &Pasteboard::setGeneral, std::make_shared<MemoryPasteboard>(),
      [](Pasteboard& p) { return p.setString("kept"); }, "done");  // in memory
  expectSeam<FileDialogs>("the desktop's file dialogs", &FileDialogs::forDesktop,
                          &FileDialogs::shared, &FileDialogs::setShared,
                          std::make_shared<MemoryFileDialogs>(),
                          [](FileDialogs& d) { return d.run({}).asVoid(); });
  expectSeam<SoundOutput>("the desktop's sound output", &SoundOutput::forDesktop,
                          &SoundOutput::shared, &SoundOutput::setShared,
                          std::make_shared<MemorySoundOutput>(),
                          [&](SoundOutput& s) { return s.load(dir / "sound.wav", {}).asVoid(); });
  expectSeam<DesktopFiles>("the desktop's file information", &DesktopFiles::forDesktop,
                           &DesktopFiles::shared, &DesktopFiles::setShared,
                           std::make_shared<MemoryDesktopFiles>(dir / "trash"),
                           [&](DesktopFiles& f) { return f.moveToTrash(dir / "sound.wav"); });
  EXPECT_TRUE(FSFileInfo(FSstr(dir.path())).icon().error().is(kPOSIXErrorDomain, ENOSYS));
}

// (MemoryWorkspace and MemoryPasteboard: the FS, MacApp and Clipboard tests.)
TEST(MemoryAdapters, AnswerAndRecordAsADesktopWould) {
  MemoryFileDialogs dialogs;
  dialogs.answerNext(Paths{"/a", "/b"});
  dialogs.answerNext(WTF("refused", 0));
  FileDialogs::Request save;
  save.save = true;
  EXPECT_EQ(dialogs.run({}).value(), Paths({"/a", "/b"}));
  EXPECT_EQ(dialogs.run(save).error().localizedDescription(), "refused");
  EXPECT_EQ(dialogs.run({}).value(), std::nullopt);  // nothing queued: cancelled
  ASSERT_EQ(dialogs.requests().size(), 3u);
  EXPECT_TRUE(dialogs.requests()[1].save);

  const test::TempDir dir;
  test::writeFile(dir / "a.wav", "");
  auto output = std::make_shared<MemorySoundOutput>(2.5);
  auto player = output->load(dir / "a.wav", {}).value();
  ASSERT_TRUE(player->play().isSuccess() && player->play().isSuccess());
  EXPECT_EQ(output->playCount(), 2);
  EXPECT_EQ(player->duration(), 2.5);
  player->stop();
  EXPECT_FALSE(player->isPlaying());
  EXPECT_EQ(outcome(output->load(dir / "b.wav", {}).asVoid()),
            "cannot play " + (dir / "b.wav").string() + ": no such file");
  EXPECT_EQ(output->loaded(), Paths{dir / "a.wav"});

  MemoryDesktopFiles files(dir / "trash");
  ASSERT_TRUE(files.moveToTrash(dir / "a.wav").isSuccess());
  EXPECT_TRUE(fs::exists(dir / "trash/a.wav"));
  EXPECT_TRUE(files.moveToTrash(dir / "a.wav").error().is(kPOSIXErrorDomain, ENOENT));
  EXPECT_EQ(files.trashed(), Paths{dir / "a.wav"});
}

}  // namespace
}  // namespace mornik
