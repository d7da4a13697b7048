#include "mornik/crypto/CryptoDictFileID.hpp"

#include <filesystem>
#include <utility>

#include "mornik/crypto/CryptoTav.hpp"
#include "mornik/crypto/detail/Primitives.hpp"
#include "mornik/crypto/detail/SealedFile.hpp"
#include "mornik/fileio/FileContents.hpp"
#include "mornik/text/Json.hpp"

namespace mornik {

namespace {

using Dictionary = std::map<std::string, std::string>;

// Wipes every text of the dictionary once it goes.
struct WipedDictionary {
  Dictionary entries;
  WipedDictionary() = default;
  explicit WipedDictionary(Dictionary d) : entries(std::move(d)) {}
  WipedDictionary(const WipedDictionary&) = delete;
  WipedDictionary& operator=(const WipedDictionary&) = delete;
  ~WipedDictionary() {
    for (auto& [key, value] : entries) detail::wipe(value);
  }
};

// The sealed form of the dictionary under a freshly derived key.
Result<Data> seal(const Dictionary& entries, const std::string& pass) {
  for (const auto& [key, value] : entries) {
    if (!detail::isValidUtf8(key) || !detail::isValidUtf8(value)) {
      return WTF("can't convert Data to string", 0);
    }
  }
  auto text = asJson(entries, OutputFormatting::prettyPrinted | OutputFormatting::sortedKeys);
  if (text.isFailure()) return text.error();
  auto sealed = CryptoTav::encript(SymmetricKey::fromPassword(pass), text.value());
  detail::wipe(text.value());
  if (sealed.isFailure()) {
    return Error(std::string(kFTWDomain), 0,
                 {{std::string(kLocalizedDescriptionKey), "nil for optional value of type <Data>"}},
                 sealed.error());
  }
  return sealed;
}

// The object's members; an array (which the JSON library would read as a
// list of pairs) or a value that is not a string is a type error.
Result<Dictionary> dictionaryOf(Json& json) {
  auto typeError = [](const char* what, const Json& value) {
    return Error(std::string(kJSONErrorDomain), 302,
                 {{std::string(kLocalizedDescriptionKey),
                   std::string("[json.exception.type_error.302] type must be ") + what +
                       ", but is " + value.type_name()}});
  };
  if (!json.is_object()) return typeError("object", json);
  Dictionary entries;
  for (auto& [key, value] : json.get_ref<Json::object_t&>()) {
    if (!value.is_string()) return typeError("string", value);
    entries.emplace(key, std::move(value.get_ref<std::string&>()));
  }
  return entries;
}

}  // namespace

CryptoDictFileID::CryptoDictFileID(std::string path, std::string pass)
    : path_(std::move(path)), pass_(std::move(pass)) {
  if (!path_.empty() && path_.back() == '/') path_.pop_back();
  std::error_code error;
  if (std::filesystem::exists(std::filesystem::symlink_status(path_, error))) return;
  auto sealed = seal({}, pass_);
  if (sealed.isSuccess()) {
    // Ignored on failure, as documented: the next call reports it.
    (void)detail::writeSealedFile(path_, sealed.value());
  }
}

CryptoDictFileID::~CryptoDictFileID() { detail::wipe(pass_); }

Result<Dictionary> CryptoDictFileID::read() const {
  auto decoded = [&]() -> Result<Dictionary> {
    auto bytes = readFileContents(path_);
    if (bytes.isFailure()) return bytes.error();
    const std::string& sealed = bytes.value();
    auto opened = CryptoTav::decriptData(
        SymmetricKey::fromPassword(pass_),
        std::span(reinterpret_cast<const std::uint8_t*>(sealed.data()), sealed.size()));
    if (opened.isFailure()) return opened.error();
    std::string text = detail::utf8Replacing(std::string_view(
        reinterpret_cast<const char*>(opened.value().data()), opened.value().size()));
    detail::wipe(opened.value());
    auto json = decodeFromJson<Json>(text);
    detail::wipe(text);
    if (json.isFailure()) return json.error();
    return dictionaryOf(json.value());
  }();
  if (decoded.isFailure() && !debug_) return Dictionary{};
  return decoded;
}

Result<void> CryptoDictFileID::set(const std::string& key,
                                   const std::optional<std::string>& value) const {
  auto current = read();
  if (current.isFailure()) return current.error();
  WipedDictionary entries(std::move(current.value()));
  if (value) {
    entries.entries[key] = *value;
  } else {
    entries.entries.erase(key);
  }
  auto sealed = seal(entries.entries, pass_);
  if (sealed.isFailure()) return sealed.error();
  return detail::writeSealedFile(path_, sealed.value());
}

Result<std::string> CryptoDictFileID::get(const std::string& key) const {
  auto current = read();
  if (current.isFailure()) return current.error();
  WipedDictionary entries(std::move(current.value()));
  auto found = entries.entries.find(key);
  if (found == entries.entries.end()) return WTF("nil for optional value of type <String>", 0);
  return found->second;
}

}  // namespace mornik
