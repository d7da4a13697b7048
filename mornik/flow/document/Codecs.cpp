#include "mornik/flow/document/Codecs.hpp"

#include <cerrno>

#include "mornik/base/Output.hpp"
#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/fileio/FileContents.hpp"
#include "mornik/text/Bytes.hpp"

namespace mornik::detail {

Result<std::string> readTextFile(const URL& url) {
  if (!url.isFileURL()) return WTF("can't read " + url.absoluteString() + ": not a file URL", 0);
  const std::string path = url.path();
  return readFileContents(path) | [&](const std::string& bytes) -> Result<std::string> {
    if (auto text = stringDetectingEncoding(bytes)) return *std::move(text);
    return Error::fromErrno(EILSEQ, "can't read " + path + " as text");
  };
}

Result<void> writeTextFile(const URL& url, const std::string& text) {
  if (!url.isFileURL())
    return WTF("can't write to " + url.absoluteString() + ": not a file URL", 0);
  if (!isValidUTF8(text))
    return WTF("can't write " + url.path() + ": the text is not valid UTF-8", 0);
  return writeAtomically(url.path(), text);
}

Result<std::string> storedText(KeyValueStore& store, std::string_view what,
                               const std::string& key) {
  auto text = store.string(key);
  if (!text) {
    if (auto unreadable = store.loadError()) return *std::move(unreadable);
  }
  return asNonOptional(text, std::string(what) + "(forKey: " + key);
}

void printError(const Error& error) { printLine(error.detailedDescription_MultiLine()); }

}  // namespace mornik::detail

namespace mornik::Flow {

IO<std::string> plainText(const URL& url) {
  return IO<std::string>{
      [url] { return detail::readTextFile(url); },
      [url](const std::string& text) { return detail::writeTextFile(url, text); }};
}

}  // namespace mornik::Flow
