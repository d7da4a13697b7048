#include "mornik/settings/AppIdentity.hpp"

#include <cstdlib>
#include <fstream>
#include <optional>
#include <vector>

#include <libintl.h>
#include <pwd.h>
#include <unistd.h>

#include "mornik/concurrency/LockedVar.hpp"

namespace mornik {

namespace {

LockedVar<std::optional<std::string>>& chosenIdentifier() {
  static LockedVar<std::optional<std::string>> chosen{std::nullopt};
  return chosen;
}

// An absolute path from the environment, or nothing.
std::optional<std::filesystem::path> absoluteFromEnvironment(const char* name) {
  const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read-only use
  if (value == nullptr || *value == '\0' || *value != '/') return std::nullopt;
  return std::filesystem::path(value);
}

LockedVar<std::optional<nlohmann::json>>& chosenInfo() {
  static LockedVar<std::optional<nlohmann::json>> info{std::nullopt};
  return info;
}

LockedVar<std::filesystem::path>& chosenResources() {
  static LockedVar<std::filesystem::path> folder{std::filesystem::path()};
  return folder;
}

using Translator = std::function<std::string(std::string_view)>;

LockedVar<std::shared_ptr<const Translator>>& chosenTranslator() {
  static LockedVar<std::shared_ptr<const Translator>> translator{nullptr};
  return translator;
}

nlohmann::json readInfoFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) return nlohmann::json::object();
  nlohmann::json parsed = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  return parsed.is_object() ? parsed : nlohmann::json::object();
}

}  // namespace

std::string AppIdentity::identifier() {
  if (auto chosen = chosenIdentifier().read()) return *chosen;
  // The executable does not change while the process runs: read once (the
  // loggers ask for every line).
  static const std::string kName = [] {
    std::string name = executablePath().filename().string();
    return name.empty() ? std::string("mornik-application") : name;
  }();
  return kName;
}

Result<void> AppIdentity::setIdentifier(std::string_view identifier) {
  const bool valid = !identifier.empty() && identifier.size() <= 255 && identifier != "." &&
                     identifier != ".." && identifier.find('/') == std::string_view::npos &&
                     identifier.find('\0') == std::string_view::npos;
  if (!valid) return WTF("invalid application identifier: " + std::string(identifier), 0);
  chosenIdentifier().set(std::string(identifier));
  return {};
}

std::filesystem::path AppIdentity::executablePath() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path;
}

std::filesystem::path AppIdentity::homeFolder() {
  if (auto home = absoluteFromEnvironment("HOME")) return *home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return std::filesystem::path(found->pw_dir);
  }
  return std::filesystem::path("/");
}

std::filesystem::path AppIdentity::configHome() {
  if (auto config = absoluteFromEnvironment("XDG_CONFIG_HOME")) return *config;
  return homeFolder() / ".config";
}

std::filesystem::path AppIdentity::dataHome() {
  if (auto data = absoluteFromEnvironment("XDG_DATA_HOME")) return *data;
  return homeFolder() / ".local" / "share";
}

std::filesystem::path AppIdentity::configFolder() { return configHome() / identifier(); }

std::filesystem::path AppIdentity::applicationSupportFolder() { return dataHome() / identifier(); }

std::filesystem::path AppIdentity::infoFilePath() {
  const std::filesystem::path executable = executablePath();
  if (executable.empty()) return {};
  return executable.string() + ".info.json";
}

nlohmann::json AppIdentity::info() {
  if (auto set = chosenInfo().read()) return *set;
  // Read outside the lock; the first value stored wins.
  nlohmann::json fromFile = readInfoFile(infoFilePath());
  return chosenInfo().access([&](std::optional<nlohmann::json>& current) {
    if (!current) current = std::move(fromFile);
    return *current;
  });
}

void AppIdentity::setInfo(nlohmann::json info) {
  chosenInfo().set(info.is_object() ? std::move(info) : nlohmann::json::object());
}

std::filesystem::path AppIdentity::resourceFolder() {
  if (auto chosen = chosenResources().read(); !chosen.empty()) return chosen;
  const std::filesystem::path folder = executablePath().parent_path();
  std::error_code error;
  if (std::filesystem::is_directory(folder / "resources", error)) return folder / "resources";
  return (folder / ".." / "share" / identifier()).lexically_normal();
}

void AppIdentity::setResourceFolder(std::filesystem::path folder) {
  chosenResources().set(std::move(folder));
}

std::string AppIdentity::localizedString(std::string_view text) {
  if (const std::shared_ptr<const Translator> translator = chosenTranslator().read()) {
    return (*translator)(text);
  }
  // gettext's answer for "" is the catalogue's header, not a translation.
  if (text.empty()) return {};
  const std::string key(text);
  return ::gettext(key.c_str());  // the key itself when there is no translation
}

void AppIdentity::setTranslator(std::function<std::string(std::string_view text)> translator) {
  chosenTranslator().set(translator ? std::make_shared<const Translator>(std::move(translator))
                                    : nullptr);
}

std::optional<std::filesystem::path> AppIdentity::resource(std::string_view name,
                                                           std::string_view extension) {
  if (name.empty()) return std::nullopt;
  std::string file(name);
  if (!extension.empty()) file.append(".").append(extension);
  const std::filesystem::path path = resourceFolder() / file;
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  return path;
}

}  // namespace mornik
