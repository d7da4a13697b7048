#include "mornik/settings/UserDefaults.hpp"

#include "mornik/settings/AppIdentity.hpp"
#include "mornik/text/Json.hpp"

namespace mornik {

std::shared_ptr<UserDefaults> UserDefaults::standard() {
  static const std::shared_ptr<UserDefaults> shared =
      atPath(AppIdentity::configFolder() / "defaults.json");
  return shared;
}

std::shared_ptr<UserDefaults> UserDefaults::atPath(std::filesystem::path file) {
  return std::shared_ptr<UserDefaults>(new UserDefaults(std::move(file)));
}

std::optional<std::string> UserDefaults::string(std::string_view key) {
  file_.refreshIfChanged();
  return detail::KeyValueFile::textOf(*file_.values(), key);
}

Result<void> UserDefaults::set(std::string_view value, std::string_view key) {
  return file_.update([&](Json& object) {
    object[std::string(key)] = std::string(value);
    return true;
  });
}

Result<void> UserDefaults::removeObject(std::string_view key) {
  return file_.update([&](Json& object) { return object.erase(std::string(key)) > 0; });
}

Result<void> UserDefaults::synchronize() {
  file_.reload();
  return {};
}

std::map<std::string, std::string> UserDefaults::dictionaryRepresentation() {
  file_.refreshIfChanged();
  const auto values = file_.values();
  std::map<std::string, std::string> out;
  for (const auto& [key, value] : values->items()) {
    if (auto text = detail::KeyValueFile::textOf(*values, key)) out.emplace(key, *std::move(text));
  }
  return out;
}

std::optional<Error> UserDefaults::loadError() const { return file_.loadError(); }

}  // namespace mornik
