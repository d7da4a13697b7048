// Files: a folder listed, a file streamed line by line, what the desktop
// knows about a file. Everything happens in a temporary folder.
#include <string>
#include <vector>

#include "mornik/files/FS.hpp"
#include "mornik/files/File.hpp"
#include "mornik/files/FileInfo.hpp"
#include "mornik/files/FileStream.hpp"
#include "mornik/files/URLFiles.hpp"

#include "tour/Tour.hpp"

namespace tour {

void files() {
  heading("Files");
  auto folder = mornik::randomTempDirectory();
  if (folder.isFailure()) {
    say("no temporary folder: " + folder.error().localizedDescription());
    return;
  }
  const std::string root = folder.value().path();

  const mornik::File notes(mornik::asURL(root + "/notes.txt"));
  const auto written = notes.setContentR("first line")
                           .flatMap([&] { return notes.appendR("second line"); })
                           .flatMap([&] { return notes.appendR("third line"); });
  if (written.isFailure()) say("write failed: " + written.error().localizedDescription());
  static_cast<void>(mornik::FS::mkdir(root + "/photos"));
  static_cast<void>(mornik::write(mornik::asURL(root + "/.hidden"), "not listed"));

  say("listing " + root + ":");
  const auto listed = mornik::FS::contentOfDirectory(mornik::asURLdir(root), false);
  for (const auto& item : listed.valueOr(std::vector<mornik::URL>{})) {
    say("  " + item.absoluteString());
  }

  say("streaming notes.txt:");
  if (auto stream = mornik::FileStream::make(notes.url())) {
    int number = 0;
    while (auto line = stream->readLn()) {
      std::string text(*line);
      if (!text.empty() && text.back() == '\n') text.pop_back();
      say("  " + std::to_string(++number) + ": " + text);
    }
  }

  const auto info = mornik::fs(root + "/notes.txt").info();
  say("notes.txt is " + info.mimeType().value_or("?") + info.fileSizeString().value_or("") +
      (info.isHidden() ? ", hidden" : ", shown") + ", icon " + info.iconNames());
  say(".hidden is " +
      std::string(mornik::fs(root + "/.hidden").info().isHidden() ? "hidden" : "shown"));

  static_cast<void>(mornik::FS::remove(root));
}

}  // namespace tour
