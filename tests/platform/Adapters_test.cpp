// The one shape of the adapters of platform/, in a program that links only
// mornik: the desktop library's adapters are missing, and the in-memory
// ones stand in for the desktop.
#include <cerrno>
#include <functional>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/platform/DesktopFiles.hpp"
#include "mornik/platform/FileDialogs.hpp"
#include "mornik/platform/Pasteboard.hpp"
#include "mornik/platform/SoundPlayer.hpp"
#include "mornik/platform/Workspace.hpp"
#include "mornik/platform/detail/DesktopFactories.hpp"

#include "tests/support/TempDir.hpp"

namespace mornik {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<fs::path>;

// One adapter interface, reached through its static members.
struct Seam {
  std::string what;  // as its failure names it
  bool fallsBackToMemory;
  std::function<Result<void>()> forDesktop;
  std::function<Result<void>()> useShared;  // one request to the shared instance
  std::function<bool(bool)> install;        // setShared(a fake, or null): is it shared() now?
};

template <class Interface>
Seam seam(std::string what, Result<std::shared_ptr<Interface>> (*forDesktop)(),
          std::shared_ptr<Interface> (*shared)(), void (*setShared)(std::shared_ptr<Interface>),
          std::shared_ptr<Interface> fake, std::function<Result<void>(Interface&)> use) {
  return Seam{std::move(what), dynamic_cast<MemoryPasteboard*>(fake.get()) != nullptr,
              [forDesktop] { return forDesktop().asVoid(); },
              [shared, use] { return use(*shared()); },
              [shared, setShared, fake](bool install) {
                setShared(install ? fake : nullptr);
                return shared() == fake;
              }};
}

TEST(AdapterSeam, WithoutTheDesktopLibraryEachSaysWhatToLinkAndFallsBack) {
  const test::TempDir dir;
  test::writeFile(dir / "sound.wav", "");
  const std::vector<Seam> seams{
      seam<Workspace>("the desktop workspace", &Workspace::forDesktop, &Workspace::shared,
                      &Workspace::setShared, std::make_shared<MemoryWorkspace>(),
                      [](Workspace& w) { return w.reveal({"/tmp"}); }),
      seam<Pasteboard>("the desktop clipboard", &Pasteboard::forDesktop, &Pasteboard::general,
                       &Pasteboard::setGeneral, std::make_shared<MemoryPasteboard>(),
                       [](Pasteboard& p) {
                         return dynamic_cast<MemoryPasteboard*>(&p) != nullptr
                                    ? p.setString("in memory")
                                    : Result<void>(WTF("not in memory", 0));
                       }),
      seam<FileDialogs>("the desktop's file dialogs", &FileDialogs::forDesktop,
                        &FileDialogs::shared, &FileDialogs::setShared,
                        std::make_shared<MemoryFileDialogs>(),
                        [](FileDialogs& d) { return d.run({}).asVoid(); }),
      seam<SoundOutput>("the desktop's sound output", &SoundOutput::forDesktop,
                        &SoundOutput::shared, &SoundOutput::setShared,
                        std::make_shared<MemorySoundOutput>(),
                        [&](SoundOutput& s) { return s.load(dir / "sound.wav", {}).asVoid(); }),
      seam<DesktopFiles>("the desktop's file information", &DesktopFiles::forDesktop,
                         &DesktopFiles::shared, &DesktopFiles::setShared,
                         std::make_shared<MemoryDesktopFiles>(dir / "trash"),
                         [&](DesktopFiles& f) { return f.moveToTrash(dir / "sound.wav"); })};
  for (const Seam& each : seams) {
    SCOPED_TRACE(each.what);
    const std::string why =
        each.what + " is not available: link mornik-desktop and call mornik::useDesktopAdapters()";
    const Result<void> made = each.forDesktop();
    ASSERT_TRUE(made.isFailure());
    EXPECT_TRUE(made.error().is(kPOSIXErrorDomain, ENOSYS));
    EXPECT_EQ(made.error().localizedDescription(), why);
    for (int round = 0; round < 2; ++round) {  // the default, then the default again
      const Result<void> used = each.useShared();
      if (each.fallsBackToMemory) {
        EXPECT_TRUE(used.isSuccess());
      } else {
        EXPECT_EQ(used.isFailure() ? used.error().localizedDescription() : "success", why);
      }
      EXPECT_TRUE(each.install(true));
      EXPECT_FALSE(each.install(false));
    }
  }
}

// Made outside the slot's lock: of two first uses at once, the instance
// installed first is the one both get.
std::latch* gMaking = nullptr;
TEST(AdapterSeam, FirstUsesAtOnceGetOneInstance) {
  std::latch making(2);
  gMaking = &making;
  detail::setDesktopFactory(+[]() -> Result<std::shared_ptr<Workspace>> {
    gMaking->arrive_and_wait();  // both callers are making one
    return std::shared_ptr<Workspace>(std::make_shared<MemoryWorkspace>());
  });
  Workspace::setShared(nullptr);
  std::shared_ptr<Workspace> other;
  std::thread second([&] { other = Workspace::shared(); });
  const std::shared_ptr<Workspace> first = Workspace::shared();
  second.join();
  EXPECT_EQ(first, other);
  detail::setDesktopFactory(static_cast<Result<std::shared_ptr<Workspace>> (*)()>(nullptr));
  Workspace::setShared(nullptr);
}

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
  EXPECT_EQ(player->duration(), 2.5);
  ASSERT_TRUE(player->play().isSuccess());
  ASSERT_TRUE(player->play().isSuccess());
  EXPECT_EQ(output->playCount(), 2);
  EXPECT_TRUE(player->isPlaying());
  player->stop();
  EXPECT_FALSE(player->isPlaying());
  EXPECT_EQ(output->load(dir / "b.wav", {}).error().localizedDescription(),
            "cannot play " + (dir / "b.wav").string() + ": no such file");
  EXPECT_EQ(output->loaded(), Paths{dir / "a.wav"});

  MemoryDesktopFiles files(dir / "trash");
  ASSERT_TRUE(files.moveToTrash(dir / "a.wav").isSuccess());
  EXPECT_TRUE(fs::exists(dir / "trash/a.wav"));
  EXPECT_TRUE(files.moveToTrash(dir / "a.wav").error().is(kPOSIXErrorDomain, ENOENT));
  EXPECT_EQ(files.trashed(), Paths{dir / "a.wav"});

  MemoryWorkspace workspace;
  ASSERT_TRUE(workspace.reveal({"/a", "/b"}).isSuccess());
  workspace.setOutcome(WTF("no file manager", 0));
  EXPECT_EQ(workspace.openFolder("/c").error().localizedDescription(), "no file manager");
  EXPECT_EQ(workspace.requests(), (std::vector<std::string>{"reveal /a /b", "openFolder /c"}));
}

}  // namespace
}  // namespace mornik
