#pragma once

#include <memory>
#include <string>
#include <utility>

#include "mornik/base/Export.hpp"
#include "mornik/base/Result.hpp"
#include "mornik/flow/document/IO.hpp"
#include "mornik/settings/UbiquitousKeyValueStore.hpp"
#include "mornik/settings/UserDefaults.hpp"
#include "mornik/text/Json.hpp"
#include "mornik/text/URL.hpp"

MORNIK_EXPORTS_BEGIN

// The library's ready-made content codecs: text in a file, a JSON value in a
// file, a JSON value under a key of the settings store, and a JSON value
// under a key of the user's key-value store.
//
//   struct Settings { int fontSize = 12; };   // with to_json / from_json
//   auto io = mornik::Flow::jsonFileIO<Settings>(mornik::asURL("/home/me/settings.json"));
//   io.writeContent(Settings{14});            // pretty printed, keys sorted, atomic
//   io.readContent();                         // success(Settings{14})
//
// JSON is written as asJson(value, prettyPrinted | sortedKeys) would, so
// equal values give byte-equal text; reading accepts whatever
// decodeFromJson accepts. Files are read whole, with the text encoding
// detected (stringDetectingEncoding: a byte order mark, else UTF-8), and
// replaced with writeAtomically, so a reader sees the old or the new file.
//
// Errors pass through unchanged: the file errors of readFileContents and
// writeAtomically, the JSON errors of Json.hpp, and
//   "can't read <path> as text: Invalid or incomplete multibyte or wide
//    character"                          a file in no detectable encoding (EILSEQ)
//   "can't write <path>: the text is not valid UTF-8"   plainText's write (code 0)
//   "[userDefaults.string(forKey: <key>] nil for optional value of type <String>"
//   "[NSUbiquitousKeyValueStore.string(forKey: <key>] nil for optional value of type <String>"
// (the last two: code 0, a key without a value; when the store's file could
// not be read, its load error is returned instead). No codec retries or
// falls back to a default.
//
// Thread safety: the codecs hold no state of their own and may be called
// from any thread. Each captures its arguments (URL, key, store, flag) in
// both callables; the stores are held strongly.

// The codecs' helpers live in mornik::detail: a mornik::Flow::detail
// namespace would hide mornik::detail from the Flow headers.
namespace mornik::detail {
Result<std::string> readTextFile(const URL& url);
Result<void> writeTextFile(const URL& url, const std::string& text);
// The text under a key, or the missing-key failure "[<what>(forKey: <key>]
// nil ...", or the store's load error.
Result<std::string> storedText(KeyValueStore& store, std::string_view what, const std::string& key);
// Prints the error's multi-line description on standard output.
void printError(const Error& error);
inline constexpr OutputFormatting kCodecFormatting =
    OutputFormatting::prettyPrinted | OutputFormatting::sortedKeys;
}  // namespace mornik::detail

namespace mornik::Flow {

// Text in a file: read whole with its encoding detected; written unchanged
// (no line feed added) as UTF-8.
IO<std::string> plainText(const URL& url);

// A JSON value in a file. An encoding failure is returned without touching
// the file.
template <Decodable T>
  requires Encodable<T>
IO<T> jsonFileIO(const URL& url) {
  return IO<T>{[url] {
                 return detail::readTextFile(url) |
                        [](const std::string& text) { return decodeFromJson<T>(text); };
               },
               [url](const T& content) {
                 return asJson(content, detail::kCodecFormatting) |
                        [&](const std::string& text) { return detail::writeTextFile(url, text); };
               }};
}

// A JSON value as the text under `key` of a settings store. An encoding
// failure is returned and nothing is stored.
template <Decodable T>
  requires Encodable<T>
IO<T> jsonUserDefaultsIO(const std::string& key, const std::shared_ptr<UserDefaults>& userDefaults =
                                                     UserDefaults::standard()) {
  return IO<T>{[key, userDefaults] {
                 return detail::storedText(*userDefaults, "userDefaults.string", key) |
                        [](const std::string& text) { return decodeFromJson<T>(text); };
               },
               [key, userDefaults](const T& content) {
                 return asJson(content, detail::kCodecFormatting) |
                        [&](const std::string& text) { return userDefaults->set(text, key); };
               }};
}

// A JSON value as the text under `key` of the user's key-value store. A
// failed read is also printed (multi-line description) before it is
// returned; so is a failed encoding, after which nothing is stored. With
// `syncEnabled`, every write is followed by synchronize() and fails with its
// error.
template <Decodable T>
  requires Encodable<T>
IO<T> jsonICloudIO(const std::string& key, const std::shared_ptr<UbiquitousKeyValueStore>& store,
                   bool syncEnabled) {
  return IO<T>{[key, store] {
                 return (detail::storedText(*store, "NSUbiquitousKeyValueStore.string", key) |
                         [](const std::string& text) { return decodeFromJson<T>(text); })
                     .onFailure(detail::printError);
               },
               [key, store, syncEnabled](const T& content) -> Result<void> {
                 auto text =
                     asJson(content, detail::kCodecFormatting).onFailure(detail::printError);
                 if (text.isFailure()) return text.error();
                 auto stored = store->set(text.value(), key);
                 if (stored.isFailure() || !syncEnabled) return stored;
                 return store->synchronize();
               }};
}

}  // namespace mornik::Flow

MORNIK_EXPORTS_END
