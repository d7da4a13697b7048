#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "mornik/concurrency/RunLoop.hpp"
#include "mornik/fileio/FileContents.hpp"
#include "mornik/flow/document/CodableFlow.hpp"
#include "mornik/flow/document/Document.hpp"
#include "mornik/text/Json.hpp"

#include "tour/Tour.hpp"

namespace tour {

namespace {

struct Draft {
  std::string title;
  int words = 0;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Draft, title, words)

void pumpUntil(const std::function<bool()>& done) { mornik::RunLoop::main().runUntil(done, 5.0); }

}  // namespace

void documents() {
  heading("Documents");

  std::string scratch = (std::filesystem::temp_directory_path() / "mornik-tour-XXXXXX").string();
  if (::mkdtemp(scratch.data()) == nullptr) return;
  const auto file = std::filesystem::path(scratch) / "draft.json";
  const auto onDisk = [&] {
    auto stored = mornik::readFileContents(file) |
                  [](const std::string& text) { return mornik::decodeFromJson<Draft>(text); };
    return stored.isSuccess() ? "word count " + std::to_string(stored.value().words) : "nothing";
  };

  // The file does not exist yet: the document starts with its default and
  // its pool holds the read error.
  auto draft = mornik::flow<Draft>().documentJsonURL(mornik::asURL(file.string()), Draft{"", 0});
  say("made: " + draft->pool()->errorPool()->errors().at(0).localizedDescription());

  // Typing: the first change is saved at once, the rest are held and the
  // last of them is saved about a second later.
  const auto start = std::chrono::steady_clock::now();
  for (int words = 1; words <= 5; ++words) draft->content = Draft{"Tour", words};
  pumpUntil([&] { return onDisk() != "nothing"; });
  say("right after five edits the file holds " + onDisk());
  pumpUntil([&] { return onDisk() == "word count 5"; });
  const double later =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  say("after " + std::to_string(later).substr(0, 3) + " s it holds " + onDisk());

  // flush() saves a held value now, for example before the window closes.
  draft->content = Draft{"Tour", 6};
  draft->content = Draft{"Tour", 7};
  const auto flushed = draft->flush();
  say(std::string("flush: ") +
      (flushed.isSuccess() ? "saved" : flushed.error().localizedDescription()) +
      ", the file holds " + onDisk());

  draft.reset();  // a value still held would be saved here
  std::filesystem::remove_all(scratch);
}

}  // namespace tour
