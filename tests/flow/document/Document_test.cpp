#include "mornik/flow/document/Document.hpp"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "mornik/concurrency/LockedVar.hpp"
#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/flow/document/CodableFlow.hpp"
#include "mornik/flow/document/MemData.hpp"
#include "mornik/flow/pool/ErrorPool.hpp"

#include "tests/support/Child.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/VersionedContent.hpp"

// Documents write at most once per second: the tests that look at that
// second hold a test clock and move it themselves, so the moment of each
// write (on that clock) is exact.

namespace mornik::Flow {
namespace {

namespace fs = std::filesystem;
using test::waitFor;

const auto& gHome = test::useTemporaryHome();

struct Settings {
  int fontSize = 12;
  std::string theme = "light";
  friend bool operator==(const Settings&, const Settings&) = default;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Settings, fontSize, theme)

// The names in a folder other than `except`.
std::set<std::string> othersIn(const fs::path& folder, const std::string& except) {
  auto names = test::entriesOf(folder);
  names.erase(except);
  return names;
}

// A store in memory that records every write (`where`: its queue and its
// moment on the executor's clock) and fails writes while `failure` is set.
// The codec holds it: a write on its way after a test frees nothing used.
template <class T>
struct Store {
  std::optional<T> stored;
  std::vector<T> values;
  std::vector<std::string> where;
  std::optional<Error> failure;
};
template <class T>
using SharedStore = std::shared_ptr<LockedVar<Store<T>>>;

template <class T>
SharedStore<T> makeStore(std::optional<T> stored) {
  return std::make_shared<LockedVar<Store<T>>>(Store<T>{std::move(stored), {}, {}, {}});
}
template <class T>
IO<T> ioOver(const SharedStore<T>& store) {
  return {[store]() -> Result<T> {
            if (auto stored = store->read().stored) return *stored;
            return WTF("nothing stored", 2);
          },
          [store](const T& value) {
            return store->access([&](Store<T>& s) -> Result<void> {
              s.values.push_back(value);
              s.where.push_back(DispatchQueue::currentLabel() + "@" +
                                std::to_string(mornik::detail::monotonicNowNs()));
              if (s.failure) return *s.failure;
              s.stored = value;
              return {};
            });
          }};
}

// Ten assignments at one moment: the first is written at once, the last
// when the second ends, both on the document's queue; making the document
// wrote nothing (else 0 would come first). Every assignment is announced
// on the main queue, and every error, but not the initial content.
// Then 11 and 12 are held: flush() writes 12 now, and the window's end does
// not write it again. A failing write, by flush() or at a window's end, is
// reported and the content keeps its value for the next one. A value held
// when the document goes (an equal one too) is written then; a failure
// then, with no sink left, is printed.
TEST(Document, WritesTheFirstOfABurstAtOnceTheLastOneSecondLaterAndFlushesWhatIsHeld) {
  test::ManualClock clock;
  auto store = makeStore<int>(0);
  auto errors = ErrorPool::make();
  auto document = Document<int>::make(ioOver(store), -1, errors, "doc");
  EXPECT_EQ(document->pool()->queue().qos(), QoS::userInteractive);
  EXPECT_EQ(document->content.signal()->queue(), document->pool()->queue());
  EXPECT_EQ(document->content.get(), 0);
  EXPECT_TRUE(document->flush().isSuccess());  // nothing assigned: nothing written
  std::atomic<int> notifications{0};
  Subscription subscription = document->objectWillChange().subscribe([&] { ++notifications; });
  const std::int64_t start = clock.nowNs();
  for (int value = 1; value <= 10; ++value) document->content = value;
  ASSERT_TRUE(waitFor([&] { return store->read().values.size() == 1; }));
  test::drain(document->pool()->queue());  // 2 to 10 reach the window before it ends
  clock.advance(1.0);
  ASSERT_TRUE(waitFor([&] { return store->read().values.size() == 2; }));
  const std::string at = "Flow.Document.doc@";
  EXPECT_EQ(store->read().where,
            (std::vector<std::string>{at + std::to_string(start),
                                      at + std::to_string(start + 1'000'000'000)}));
  // Each write is pool work that leaves the pool once done.
  EXPECT_TRUE(waitFor([&] { return document->pool()->futureCount() == 0; }));
  document->pool()->append(WTF("shown", 1));
  ASSERT_TRUE(waitFor([&] { return notifications == 11; }));
  test::drain(DispatchQueue::main());
  EXPECT_EQ(notifications.load(), 11);

  document->content = 11;  // held by the window that 10's delivery opened
  document->content = 12;
  EXPECT_TRUE(document->flush().isSuccess());
  clock.advance(1.0);  // the window ends holding 12, and opens the next
  store->access([](Store<int>& s) { s.failure = WTF("disk on fire", 9); });
  document->content = 13;
  EXPECT_EQ(document->flush().error().code(), 9);
  clock.advance(1.0);
  ASSERT_TRUE(waitFor([&] { return errors->errorCount() == 3; }));  // "shown" and two writes
  EXPECT_EQ(errors->errors()[2].localizedDescription(), "disk on fire");
  EXPECT_EQ(document->content.get(), 13);
  store->access([](Store<int>& s) { s.failure.reset(); });
  EXPECT_TRUE(document->flush().isSuccess());
  document->content = 13;
  store->access([](Store<int>& s) { s.failure = WTF("full", 28); });
  errors.reset();
  const auto pool = document->pool();  // outlives the document: its held 13 is not written again
  testing::internal::CaptureStdout();
  document.reset();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Flow.Document.doc: ERROR full\n");
  clock.advance(2.0);
  EXPECT_EQ(store->read().values, (std::vector<int>{1, 10, 12, 13, 13, 13, 13}));
}

// A missing file: the default, its error, and the file made by the first
// assignment. Then another program writes the file (in place, or by
// replacing it): that version is kept and reported before it is replaced;
// the next write, with no one else writing, keeps nothing.
TEST(Document, AMissingFileIsMadeByTheFirstAssignmentAndAnotherProgramsVersionIsKept) {
  test::TempDir dir;
  const auto file = dir / "settings.json";
  auto errors = ErrorPool::make();
  auto document = Document<Settings>::makeJsonURL(asURL(file.string()), Settings{}, errors);
  EXPECT_EQ(document->label(), "json." + file.string());
  EXPECT_EQ(document->content.get(), Settings{});
  ASSERT_TRUE(waitFor([&] { return errors->errorCount() == 1; }));
  EXPECT_EQ(errors->errors()[0].code(), ENOENT);
  EXPECT_FALSE(fs::exists(file));
  document->contentBinding().set(Settings{1, "mine"});
  ASSERT_TRUE(document->flush().isSuccess());  // the write has run (and looked at the file)
  EXPECT_EQ(test::readFile(file), "{\n  \"fontSize\": 1,\n  \"theme\": \"mine\"\n}");
  auto reopened = mornik::flow<Settings>().documentJsonURL(asURL(file.string()), Settings{});
  EXPECT_EQ(reopened->content.get(), (Settings{1, "mine"}));
  EXPECT_FALSE(reopened->pool()->hasRecentError());

  const auto& errorPool = document->pool()->errorPool();
  const std::string theirs[] = {"{\"fontSize\": 99}", "{\"theme\": \"theirs\"}"};
  for (int round = 0; round < 2; ++round) {
    if (round == 0) {
      std::ofstream(file, std::ios::trunc) << theirs[0];  // an edit in place
    } else {
      ASSERT_TRUE(writeAtomically(file, theirs[1]).isSuccess());  // a replacement
    }
    document->content = Settings{2 + round, "mine"};
    ASSERT_TRUE(document->flush().isSuccess());
    ASSERT_EQ(errorPool->errorCount(), 2U + round);
    const std::string description = errorPool->errors().back().localizedDescription();
    const std::string said = file.string() +
                             " was changed by another program since the document read or saved "
                             "it; that version is kept as ";
    ASSERT_EQ(description.rfind(said, 0), 0U) << description;
    const auto backup = description.substr(said.size(), description.find(" and the") - said.size());
    EXPECT_EQ(test::readFile(dir / backup), theirs[round]);
    EXPECT_EQ(decodeFromJson<Settings>(test::readFile(file)).value(),
              (Settings{2 + round, "mine"}));
  }
  document->content = Settings{9, "mine"};
  ASSERT_TRUE(document->flush().isSuccess());
  EXPECT_EQ(errorPool->errorCount(), 3U);
  EXPECT_EQ(othersIn(dir.path(), "settings.json").size(), 2U);
}

TEST(Document, AValueHeldAtExitIsSavedByTheExitHandler) {
  test::TempDir dir;
  const auto file = dir / "exit.json";
  const auto run = test::runChild({"document-exit", file.string(), "1", "2"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, "assigned\n");
  EXPECT_EQ(decodeFromJson<test::VersionedValue>(test::readFile(file)).value(),
            test::versionedValue(2));
}

// The bad files a document may meet at construction: each starts the
// document with its default, says where the bytes will go, and is kept
// (exactly) before the first save, here the document's end, replaces it.
TEST(Document, AnUnreadableFileIsKeptBesideItBeforeTheFirstSave) {
  const struct {
    std::string bytes;
    bool text;  // a plain-text document (else JSON)
  } cases[] = {{"{\"fontSize\": 1", false}, {"[1, 2]", false}, {"caf\xE9", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    test::TempDir dir;
    const auto file = dir / "doc";
    const URL url = asURL(file.string());
    ASSERT_TRUE(writeAtomically(file, c.bytes).isSuccess());
    auto errors = ErrorPool::make();
    std::optional<Error> reported;
    std::string readError;                           // what the codec alone says
    auto open = [&](auto document, auto assigned) {  // the document goes on return
      EXPECT_EQ(document->label(), (c.text ? "plainText." : "json.") + file.string());
      EXPECT_EQ(document->content.get(), document->defaultContent());
      readError = document->io().readContent().error().localizedDescription();
      reported = document->pool()->errorPool()->errors().at(0);
      EXPECT_EQ(test::readFile(file), c.bytes);
      document->content = assigned;
      ASSERT_TRUE(waitFor([&] { return errors->errorCount() == 1; }));
    };
    if (c.text) {
      open(Document<std::string>::makeTextURL(url, "default", errors), std::string("new"));
    } else {
      open(Document<Settings>::makeJsonURL(url, Settings{}, errors), Settings{20, "new"});
    }
    const std::string description = reported->localizedDescription();
    const std::string said = readError + "; the first save keeps it as ";
    ASSERT_EQ(description.rfind(said + "doc.unreadable-", 0), 0U) << description;
    const std::string backup = description.substr(said.size());
    EXPECT_EQ(othersIn(dir.path(), "doc"), std::set<std::string>{backup});
    EXPECT_EQ(test::readFile(dir / backup), c.bytes);
    EXPECT_EQ(test::readFile(file),
              c.text ? "new" : "{\n  \"fontSize\": 20,\n  \"theme\": \"new\"\n}");
    EXPECT_TRUE(errors->errors()[0].isIdenticalTo(*reported));
  }
}

// A settings-key document keeps the settings file when its key's value was
// unreadable or another process changed it, and does not mistake its own
// writes for another's.
TEST(Document, ASettingsKeyDocumentKeepsTheSettingsFileWhenItsValueWasUnreadableOrChanged) {
  test::TempDir dir;
  const auto file = dir / "defaults.json";
  auto defaults = UserDefaults::atPath(file);
  ASSERT_TRUE(defaults->set("not json", "layout0").isSuccess());
  ASSERT_TRUE(defaults->set("kept", "other").isSuccess());
  const std::string unreadable = test::readFile(file);
  auto document =
      Document<Settings>::makeJsonUserDefaultsKey("layout0", Settings{}, nullptr, defaults);
  EXPECT_EQ(document->label(), "userDefaults.layout0");
  const auto& errorPool = document->pool()->errorPool();
  EXPECT_NE(errorPool->errors().at(0).localizedDescription().find(
                "; the first save keeps defaults.json as defaults.json.unreadable-<UTC time>"),
            std::string::npos);
  document->content = Settings{5, "grid"};
  ASSERT_TRUE(document->flush().isSuccess());
  auto kept = [&](const std::string& bytes) {
    for (const auto& name : othersIn(dir.path(), "defaults.json")) {
      if (test::readFile(dir / name) == bytes) return name;
    }
    return std::string();
  };
  EXPECT_EQ(kept(unreadable).rfind("defaults.json.unreadable-", 0), 0U);

  const auto run = test::runChild({"defaults-set", file.string(), "layout", "1"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const std::string theirs = test::readFile(file);
  document->content = Settings{6, "grid"};
  ASSERT_TRUE(document->flush().isSuccess());
  ASSERT_EQ(errorPool->errorCount(), 2U);
  EXPECT_EQ(errorPool->errors()[1].localizedDescription().rfind(
                "the value of layout0 in " + file.string() + " was changed by another program", 0),
            0U);
  EXPECT_NE(kept(theirs), "");
  document->content = Settings{7, "grid"};
  ASSERT_TRUE(document->flush().isSuccess());
  EXPECT_EQ(errorPool->errorCount(), 2U);
  auto reread = UserDefaults::atPath(file);
  EXPECT_EQ(reread->string("other"), "kept");
  EXPECT_EQ(mornik::flow<Settings>()
                .documentJsonUserDefaultsKey("layout0", Settings{}, nullptr, reread)
                ->content.get(),
            (Settings{7, "grid"}));
}

TEST(MemData, AFailedReadGivesTheDefaultSilentlyWhichIsWrittenBackAtOnce) {
  auto store = makeStore<int>(std::nullopt);  // the read fails
  auto errors = ErrorPool::make();
  const IO<int> io = ioOver(store);
  auto data = MemData<int>::make(MemDataIO<int>{io.read, io.write}, 7, errors);
  const std::string label = data->pool()->queue().label();
  EXPECT_EQ(label, "Flow.MemData.int." + data->id().uuidString());
  EXPECT_EQ(data->content.get(), 7);
  ASSERT_TRUE(waitFor([&] { return store->read().values.size() == 1; }));
  EXPECT_EQ(store->read().values[0], 7);
  EXPECT_EQ(store->read().where[0].rfind(label + "@", 0), 0U);
  auto model = data->newRefreshVM();
  std::atomic<int> refreshes{0};
  Subscription subscription = model->objectWillChange().subscribe([&] { ++refreshes; });
  data->content = 8;
  data->content = 9;
  ASSERT_TRUE(waitFor([&] { return refreshes == 2; }));  // not for the content it found
  store->access([](Store<int>& s) { s.failure = WTF("full", 28); });
  data->content = 10;
  EXPECT_TRUE(data->flush().isFailure());
  ASSERT_TRUE(waitFor([&] { return errors->errorCount() >= 1; }));
  EXPECT_EQ(errors->errors()[0].code(), 28);  // the failed read was not reported
}

}  // namespace
}  // namespace mornik::Flow
