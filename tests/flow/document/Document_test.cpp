#include "mornik/flow/document/Document.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mornik/concurrency/DispatchQueue.hpp"
#include "mornik/concurrency/QoS.hpp"
#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/flow/document/CodableFlow.hpp"
#include "mornik/flow/document/MemData.hpp"
#include "mornik/flow/pool/ErrorPool.hpp"
#include "mornik/fs/AtomicFile.hpp"
#include "mornik/fs/FileContents.hpp"
#include "mornik/platform/UserDefaults.hpp"

#include "tests/support/Child.hpp"
#include "tests/support/ManualClock.hpp"
#include "tests/support/QueueGate.hpp"
#include "tests/support/RunLoopWait.hpp"
#include "tests/support/Sanitizers.hpp"
#include "tests/support/TempDir.hpp"
#include "tests/support/VersionedContent.hpp"

// Timing: documents write at most once per second. The tests that look at
// that second hold a test clock and move it themselves, so when each write
// happens (on that clock) is exact.

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

std::string contentsOf(const fs::path& file) { return readFileContents(file).value(); }

// The names in a folder other than `except`.
std::set<std::string> othersIn(const fs::path& folder, const std::string& except) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename() != except) names.insert(entry.path().filename().string());
  }
  return names;
}

// A codec over memory that records each write, the time and the queue it
// ran on, and fails writes while told to. The state outlives the document
// (writes may be on their way when a test ends).
template <class T>
class Recording {
 public:
  struct Write {
    T value;
    std::int64_t at;  // on the executor's clock
    std::string queue;
  };

  explicit Recording(std::optional<T> stored = std::nullopt) { state_->stored = stored; }

  IO<T> io() const {
    return IO<T>{[state = state_]() -> Result<T> {
                   const std::lock_guard<std::mutex> guard(state->mutex);
                   if (!state->stored) return WTF("nothing stored", 2);
                   return *state->stored;
                 },
                 [state = state_](const T& value) -> Result<void> {
                   const std::lock_guard<std::mutex> guard(state->mutex);
                   state->writes.push_back(
                       {value, mornik::detail::monotonicNowNs(), DispatchQueue::currentLabel()});
                   if (state->failure) return *state->failure;
                   state->stored = value;
                   return {};
                 }};
  }
  MemDataIO<T> memDataIO() const {
    const IO<T> plain = io();
    return MemDataIO<T>{plain.read, plain.write};
  }

  void failWrites(std::optional<Error> failure) {
    const std::lock_guard<std::mutex> guard(state_->mutex);
    state_->failure = std::move(failure);
  }
  std::vector<Write> writes() const {
    const std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->writes;
  }
  std::vector<T> values() const {
    std::vector<T> values;
    for (const auto& write : writes()) values.push_back(write.value);
    return values;
  }
  std::optional<T> stored() const {
    const std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->stored;
  }

 private:
  struct State {
    std::mutex mutex;
    std::optional<T> stored;
    std::vector<Write> writes;
    std::optional<Error> failure;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Waits until every main-queue notification caused by work already on the
// main queue has run: a marker that submits a second marker.
void settleMainQueue() {
  auto done = std::make_shared<std::atomic<bool>>(false);
  DispatchQueue::main().async([done] { DispatchQueue::main().async([done] { *done = true; }); });
  ASSERT_TRUE(waitFor([&] { return done->load(); }));
}

// ---- Timing and the first read ----

// Ten assignments within half a second: the first is written at once, the
// last one when the second ends, nothing in between, and nothing for the
// construction (had it written, the initial 0 would come first).
TEST(Document, WritesTheFirstValueAtOnceAndTheLastOfABurstOneSecondLater) {
  test::ManualClock clock;
  Recording<int> store(0);
  auto document = Document<int>::make(store.io(), -1, nullptr, "burst");
  EXPECT_EQ(document->label(), "burst");
  const DispatchQueue queue = document->pool()->queue();
  EXPECT_EQ(queue.label(), "Flow.Document.burst");
  EXPECT_EQ(queue.qos(), QoS::userInteractive);
  EXPECT_EQ(document->content.signal()->queue(), queue);
  EXPECT_EQ(document->content.get(), 0);

  const std::int64_t start = clock.nowNs();
  for (int value = 1; value <= 10; ++value) {
    document->content = value;
    test::drain(queue);
    clock.advance(0.04);
  }
  clock.advance(1.0 - 0.4 - 1e-9);
  test::drain(queue);
  EXPECT_EQ(store.values(), std::vector<int>{1});
  clock.advance(1e-9);
  test::drain(queue);
  const auto writes = store.writes();
  EXPECT_EQ(store.values(), (std::vector<int>{1, 10}));
  EXPECT_EQ(writes.at(0).at, start);
  EXPECT_EQ(writes.at(1).at, start + 1'000'000'000);
  for (const auto& write : writes) EXPECT_EQ(write.queue, "Flow.Document.burst");
  // The window after the last write ends empty: no third write.
  clock.advance(5.0);
  test::drain(queue);
  EXPECT_EQ(store.values().size(), 2U);
}

TEST(Document, AMissingFileGivesTheDefaultAndItsErrorAndIsCreatedByTheFirstAssignment) {
  test::TempDir dir;
  const auto file = dir / "settings.json";
  auto errors = ErrorPool::make();
  auto document = Document<Settings>::makeJsonURL(asURL(file.string()), Settings{}, errors);
  EXPECT_EQ(document->label(), "json." + file.string());
  EXPECT_EQ(document->content.get(), Settings{});
  EXPECT_EQ(document->defaultContent(), Settings{});
  ASSERT_TRUE(waitFor([&] { return errors->errorCount() == 1; }));
  EXPECT_EQ(errors->errors()[0].code(), ENOENT);
  EXPECT_EQ(errors->errors()[0].localizedDescription(),
            "can't read " + file.string() + ": No such file or directory");
  EXPECT_TRUE(document->pool()->hasRecentError());
  EXPECT_FALSE(fs::exists(file));

  document->contentBinding().set(Settings{14, "dark"});
  EXPECT_EQ(document->content.get(), (Settings{14, "dark"}));
  ASSERT_TRUE(waitFor([&] { return fs::exists(file); }));
  EXPECT_EQ(contentsOf(file), "{\n  \"fontSize\": 14,\n  \"theme\": \"dark\"\n}");
  EXPECT_EQ(document->contentBinding().get(), (Settings{14, "dark"}));
  // A new document reads it back, with nothing to report.
  auto reopened =
      mornik::flow<Settings>().documentJsonURL(asURL(file.string()), Settings{}, errors);
  EXPECT_EQ(reopened->content.get(), (Settings{14, "dark"}));
  EXPECT_EQ(reopened->label(), document->label());
  EXPECT_FALSE(reopened->pool()->hasRecentError());
  EXPECT_TRUE(othersIn(dir.path(), "settings.json").empty());
}

// ---- Notifications ----

TEST(Document, AnnouncesEveryAssignmentAndEveryErrorButNotTheInitialContent) {
  Recording<std::string> store("initial");
  auto document = Document<std::string>::make(store.io(), "", nullptr, "notes");
  std::atomic<int> notifications{0};
  Subscription subscription = document->objectWillChange().subscribe([&] { ++notifications; });
  settleMainQueue();
  EXPECT_EQ(notifications.load(), 0);

  std::thread([&] { document->content = "a"; }).join();
  document->content = "a";  // an equal value announces too
  document->content.modify([](std::string& text) { text += "b"; });
  settleMainQueue();
  EXPECT_EQ(notifications.load(), 3);
  document->pool()->append(WTF("shown", 1));
  settleMainQueue();
  EXPECT_EQ(notifications.load(), 4);
  EXPECT_EQ(document->content.get(), "ab");
}

// ---- Failures and nothing lost ----

TEST(Document, AFailedWriteIsReportedAndTheKeptValueIsStoredByTheNextFlush) {
  Recording<int> store(0);
  auto errors = ErrorPool::make();
  auto document = Document<int>::make(store.io(), 0, errors, "failing");
  EXPECT_TRUE(document->flush().isSuccess());  // nothing assigned: nothing written
  EXPECT_TRUE(store.values().empty());

  store.failWrites(WTF("disk on fire", 9));
  document->content = 1;
  ASSERT_TRUE(waitFor([&] { return errors->errorCount() == 1; }));
  EXPECT_EQ(errors->errors()[0].localizedDescription(), "disk on fire");
  EXPECT_EQ(document->pool()->errorPool()->errorCount(), 1U);
  EXPECT_EQ(document->content.get(), 1);
  const auto again = document->flush();  // still failing: reported again
  ASSERT_TRUE(again.isFailure());
  EXPECT_EQ(again.error().code(), 9);

  store.failWrites(std::nullopt);
  EXPECT_TRUE(document->flush().isSuccess());
  EXPECT_EQ(store.stored(), 1);
  EXPECT_TRUE(document->flush().isSuccess());
  EXPECT_EQ(store.values(), (std::vector<int>{1, 1, 1}));  // two failed, then the stored one
  ASSERT_TRUE(waitFor([&] { return errors->errorCount() == 2; }));
}

// a is written at once; b and c are held. flush() writes c, and the held c
// is not written again when its second ends; d, held by the next window, is
// written when the document goes, and nothing after that.
TEST(Document, FlushWritesTheHeldValueOnceAndDestructionSavesTheRest) {
  test::ManualClock clock;
  Recording<std::string> store("");
  auto document = Document<std::string>::make(store.io(), "", nullptr, "held");
  document->content = "a";
  ASSERT_TRUE(waitFor([&] { return store.values().size() == 1; }));
  document->content = "b";
  document->content = "c";
  EXPECT_TRUE(document->flush().isSuccess());
  EXPECT_EQ(store.values(), (std::vector<std::string>{"a", "c"}));
  clock.advance(1.0);  // the first window ends and delivers c
  test::drain(document->pool()->queue());
  EXPECT_EQ(store.values(), (std::vector<std::string>{"a", "c"}));

  document->content = "d";  // passes at once, or waits for the second window
  document->content = "e";
  const std::weak_ptr<Document<std::string>> weak = document;
  document.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(store.stored(), "e");
  const auto afterEnd = store.values().size();
  clock.advance(2.0);
  EXPECT_EQ(store.values().size(), afterEnd);
  EXPECT_EQ(store.stored(), "e");
}

TEST(Document, AValueHeldAtExitIsSavedByTheExitHandler) {
  test::TempDir dir;
  const auto file = dir / "exit.json";
  const auto run = test::runChild({"document-exit", file.string(), "1", "2"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, "assigned\n");
  EXPECT_EQ(decodeFromJson<test::VersionedValue>(contentsOf(file)).value(),
            test::versionedValue(2));
}

// The bad files a document may meet at construction: each starts the
// document with its default, says where the bytes will go, and is kept
// (exactly) before the first save replaces it.
TEST(Document, AnUnreadableFileIsKeptBesideItBeforeTheFirstSave) {
  const struct {
    const char* name;
    std::string bytes;
    bool text;  // a plain-text document (else JSON)
    std::string reason;
  } cases[] = {
      {"corrupt JSON", "{\"fontSize\": 1", false,
       "[json.exception.parse_error.101] parse error at line 1, column 15: syntax error while "
       "parsing object - unexpected end of input; expected '}'"},
      {"wrong JSON type", "[1, 2]", false,
       "[json.exception.type_error.304] cannot use at() with array"},
      {"invalid UTF-8", "{\"theme\": \"caf\xE9\"}", false,
       "as text: Invalid or incomplete multibyte or wide character"},
      {"text in no known encoding", "caf\xE9", true,
       "as text: Invalid or incomplete multibyte or wide character"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const auto file = dir / "doc";
    ASSERT_TRUE(writeAtomically(file, c.bytes).isSuccess());
    auto errors = ErrorPool::make();
    std::optional<Error> reported;
    if (c.text) {
      auto document = Document<std::string>::makeTextURL(asURL(file.string()), "default", errors);
      EXPECT_EQ(document->label(), "plainText." + file.string());
      EXPECT_EQ(document->content.get(), "default");
      reported = document->pool()->errorPool()->errors().at(0);
      EXPECT_EQ(contentsOf(file), c.bytes);
      document->content = "new";
      ASSERT_TRUE(waitFor([&] { return errors->errorCount() == 1; }));
    } else {
      auto document = Document<Settings>::makeJsonURL(asURL(file.string()), Settings{}, errors);
      EXPECT_EQ(document->content.get(), Settings{});
      reported = document->pool()->errorPool()->errors().at(0);
      EXPECT_EQ(contentsOf(file), c.bytes);
      document->content = Settings{20, "new"};
      ASSERT_TRUE(waitFor([&] { return errors->errorCount() == 1; }));
    }
    const std::string description = reported->localizedDescription();
    EXPECT_NE(description.find(c.reason), std::string::npos) << description;
    const std::string keeps = "; the first save keeps it as doc.unreadable-";
    ASSERT_NE(description.find(keeps), std::string::npos) << description;
    const std::string backup = description.substr(description.find(keeps) + keeps.size() - 15);
    ASSERT_TRUE(reported->underlyingError().has_value());
    EXPECT_EQ(reported->code(), reported->underlyingError()->code());

    // The document went (saving on its way out): the backup holds the old bytes.
    EXPECT_EQ(othersIn(dir.path(), "doc"), std::set<std::string>{backup});
    EXPECT_EQ(contentsOf(dir / backup), c.bytes);
    EXPECT_EQ(contentsOf(file), c.text ? "new" : "{\n  \"fontSize\": 20,\n  \"theme\": \"new\"\n}");
    EXPECT_TRUE(errors->errors()[0].isIdenticalTo(*reported));
  }
}

// Another program writes the file while the document holds it (in place,
// or by replacing it): that version is kept and reported, then replaced;
// the next write, with no one else writing, keeps nothing.
TEST(Document, AFileAnotherProgramChangedIsKeptAndReportedBeforeItIsReplaced) {
  test::TempDir dir;
  const auto file = dir / "settings.json";
  auto document = Document<Settings>::makeJsonURL(asURL(file.string()), Settings{}, nullptr);
  const auto& errorPool = document->pool()->errorPool();
  document->content = Settings{1, "mine"};
  ASSERT_TRUE(document->flush().isSuccess());
  const std::size_t before = errorPool->errorCount();  // the missing file

  const std::string theirs[] = {"{\"fontSize\": 99}", "{\"theme\": \"theirs\"}"};
  for (int round = 0; round < 2; ++round) {
    if (round == 0) {
      std::ofstream(file, std::ios::trunc) << theirs[0];  // an edit in place
    } else {
      ASSERT_TRUE(writeAtomically(file, theirs[1]).isSuccess());  // a replacement
    }
    document->content = Settings{2 + round, "mine"};
    ASSERT_TRUE(document->flush().isSuccess());
    ASSERT_EQ(errorPool->errorCount(), before + 1 + round);
    const std::string description = errorPool->errors().back().localizedDescription();
    const std::string kept = "that version is kept as ";
    ASSERT_NE(description.find(kept), std::string::npos) << description;
    EXPECT_EQ(
        description.substr(0, description.find(kept)),
        file.string() + " was changed by another program since the document read or saved it; ");
    const std::string backup =
        description.substr(description.find(kept) + kept.size(),
                           description.find(" and the") - description.find(kept) - kept.size());
    EXPECT_EQ(contentsOf(dir / backup), theirs[round]);
    EXPECT_EQ(decodeFromJson<Settings>(contentsOf(file)).value(), (Settings{2 + round, "mine"}));
  }
  document->content = Settings{9, "mine"};
  ASSERT_TRUE(document->flush().isSuccess());
  EXPECT_EQ(errorPool->errorCount(), before + 2);
  EXPECT_EQ(othersIn(dir.path(), "settings.json").size(), 2U);
}

TEST(Document, AnUnwritableFolderOrAFullDiskKeepsTheFileAndTheContent) {
  test::TempDir dir;
  const auto file = dir / "missing-folder" / "settings.json";
  auto document = Document<Settings>::makeJsonURL(asURL(file.string()), Settings{}, nullptr);
  document->content = Settings{3, "x"};
  const auto saved = document->flush();
  ASSERT_TRUE(saved.isFailure());
  EXPECT_EQ(saved.error().localizedDescription(), "can't write " + file.string() + ": the folder " +
                                                      (dir / "missing-folder").string() +
                                                      " does not exist");
  EXPECT_EQ(document->content.get(), (Settings{3, "x"}));
  EXPECT_EQ(document->pool()->errorPool()->errors().back(), saved.error());
  // Its end tries once more and, with no sink left to tell, prints.
  testing::internal::CaptureStdout();
  document.reset();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Flow.Document.json." + file.string() + ": ERROR " +
                saved.error().localizedDescription() + "\n");

  // In a child: the second of three saves does not fit, or the folder has
  // become read-only before it.
  const struct {
    std::string how;
    int code;
    std::string reason;
    bool thirdFits;
  } disks[] = {{"fsize", EFBIG, "the file would exceed the size limit", true},
               {"tmpfs", ENOSPC, "the disk is full", true},
               {"readonly", EROFS, "the file system of <folder> is read-only", false}};
  for (const auto& disk : disks) {
    SCOPED_TRACE(disk.how);
    test::TempDir folder;
    const auto run = test::runChild({"document-full", folder.path().string(), disk.how});
    if (run.exitCode == test::kChildUnsupported) continue;  // no mount namespace here
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::string target = folder.path().string() + "/document.json";
    std::string reason = disk.reason;
    if (reason.find("<folder>") != std::string::npos) {
      reason.replace(reason.find("<folder>"), 8, folder.path().string());
    }
    const std::string failed =
        "code=" + std::to_string(disk.code) + "\ncan't write " + target + ": " + reason + "\n";
    EXPECT_EQ(run.output,
              failed + "file=1\ncontent=2\n" +
                  (disk.thirdFits ? "code=0\nok\n"
                                  : failed + "Flow.Document.json." + target +
                                        ": ERROR can't write " + target + ": " + reason + "\n"));
  }
}

// ---- Settings-store documents ----

TEST(Document, ASettingsKeyDocumentKeepsTheSettingsFileWhenItsValueWasUnreadableOrChanged) {
  test::TempDir dir;
  const auto file = dir / "defaults.json";
  auto defaults = UserDefaults::atPath(file);
  ASSERT_TRUE(defaults->set("not json", "layout0").isSuccess());
  ASSERT_TRUE(defaults->set("kept", "other").isSuccess());
  const std::string unreadable = contentsOf(file);

  auto document = Document<Settings>::makeJsonUserDefaultsKey("layout0", Settings{}, nullptr,
                                                              UserDefaults::atPath(file));
  EXPECT_EQ(document->label(), "userDefaults.layout0");
  EXPECT_EQ(document->pool()->queue().label(), "Flow.Document.userDefaults.layout0");
  const auto& errorPool = document->pool()->errorPool();
  ASSERT_EQ(errorPool->errorCount(), 1U);
  EXPECT_NE(errorPool->errors()[0].localizedDescription().find(
                "; the first save keeps defaults.json as defaults.json.unreadable-<UTC time>"),
            std::string::npos);
  document->content = Settings{5, "grid"};
  ASSERT_TRUE(document->flush().isSuccess());
  auto names = othersIn(dir.path(), "defaults.json");
  names.erase("defaults.json.lock");
  ASSERT_EQ(names.size(), 1U);
  EXPECT_EQ(names.begin()->rfind("defaults.json.unreadable-", 0), 0U);
  EXPECT_EQ(contentsOf(dir / *names.begin()), unreadable);

  // Another process sets the key while the document holds it.
  const auto run = test::runChild({"defaults-set", file.string(), "layout", "1"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  const std::string theirs = contentsOf(file);
  document->content = Settings{6, "grid"};
  ASSERT_TRUE(document->flush().isSuccess());
  ASSERT_EQ(errorPool->errorCount(), 2U);
  EXPECT_EQ(errorPool->errors()[1].localizedDescription().rfind(
                "the value of layout0 in " + file.string() + " was changed by another program", 0),
            0U);
  auto reread = UserDefaults::atPath(file);
  EXPECT_EQ(decodeFromJson<Settings>(*reread->string("layout0")).value(), (Settings{6, "grid"}));
  EXPECT_EQ(reread->string("other"), "kept");
  names = othersIn(dir.path(), "defaults.json");
  bool theirsKept = false;
  for (const auto& name : names) theirsKept = theirsKept || contentsOf(dir / name) == theirs;
  EXPECT_TRUE(theirsKept);

  // Its own writes are not mistaken for another program's.
  document->content = Settings{7, "grid"};
  ASSERT_TRUE(document->flush().isSuccess());
  EXPECT_EQ(errorPool->errorCount(), 2U);
  EXPECT_EQ(mornik::flow<Settings>()
                .documentJsonUserDefaultsKey("layout0", Settings{}, nullptr, reread)
                ->content.get(),
            (Settings{7, "grid"}));
}

// ---- Crash safety ----

// A saver process saves a document in a loop, flushing every value, and is
// killed at random moments (the helper forks the savers and reports what
// the file holds after each kill). The file must always decode as a
// complete value, never older than the one the saver had saved when it
// said it was ready, and nothing but a temporary file of a cut-short write
// may be left beside it.
TEST(Document, AKilledSaverNeverLeavesAFileThatDoesNotDecode) {
  test::TempDir dir;
  const auto file = dir / "doc.json";
  // Sanitizers slow the saver down tenfold or more: fewer rounds, longer pauses.
  const bool slow = test::kUnderThreadSanitizer || test::kUnderAddressSanitizer;
  const int rounds = slow ? 20 : 60;
  const auto run = test::runChild({"document-kill-rounds", file.string(), std::to_string(rounds),
                                   "2024", slow ? "40000" : "3000"});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::istringstream lines(run.output);
  std::string line;
  long seen = 0;
  int count = 0;
  int advanced = 0;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string held;
    words >> held;
    ASSERT_NE(held, "torn") << "round " << count;
    const long version = std::stol(held);
    ASSERT_GE(version, seen + 1) << "round " << count << ": the ready save was lost";
    advanced += version > seen + 1 ? 1 : 0;
    seen = version;
    for (std::string name; words >> name;) {
      EXPECT_EQ(name.rfind(".doc.json.", 0), 0U) << "round " << count << " left " << name;
    }
    ++count;
  }
  EXPECT_EQ(count, rounds);
  EXPECT_GT(advanced, 0);  // kills landed while the saver was saving
}

// ---- In-memory data ----

TEST(MemData, AFailedReadGivesTheDefaultSilentlyWhichIsWrittenBackAtOnce) {
  Recording<int> store;  // nothing stored: the read fails
  auto errors = ErrorPool::make();
  auto data = MemData<int>::make(store.memDataIO(), 7, errors);
  const std::string label = data->pool()->queue().label();
  EXPECT_EQ(label, "Flow.MemData.int." + data->id().uuidString());
  EXPECT_EQ(data->pool()->queue().qos(), QoS::unspecified);
  EXPECT_EQ(data->content.get(), 7);
  ASSERT_TRUE(waitFor([&] { return store.values().size() == 1; }));
  EXPECT_EQ(store.writes()[0].value, 7);
  EXPECT_EQ(store.writes()[0].queue, label);
  settleMainQueue();
  EXPECT_EQ(data->pool()->errorPool()->errorCount(), 0U);
  EXPECT_EQ(errors->errorCount(), 0U);

  const UUID other = UUID::random();
  data->setId(other);
  EXPECT_EQ(data->id(), other);
  EXPECT_EQ(data->pool()->queue().label(), label);

  auto model = data->newRefreshVM();
  std::atomic<int> refreshes{0};
  Subscription subscription = model->objectWillChange().subscribe([&] { ++refreshes; });
  settleMainQueue();
  EXPECT_EQ(refreshes.load(), 0);  // not for the content it found
  data->content = 8;
  data->content = 9;
  settleMainQueue();
  EXPECT_EQ(refreshes.load(), 2);
  EXPECT_TRUE(data->flush().isSuccess());
  EXPECT_EQ(store.stored(), 9);

  store.failWrites(WTF("full", 28));
  data->content = 10;
  EXPECT_TRUE(data->flush().isFailure());
  ASSERT_TRUE(waitFor([&] { return errors->errorCount() >= 1; }));
  EXPECT_EQ(errors->errors()[0].code(), 28);
}

}  // namespace
}  // namespace mornik::Flow
