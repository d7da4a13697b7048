#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "mornik/fileio/AtomicFile.hpp"
#include "mornik/flow/document/Codecs.hpp"
#include "mornik/settings/AppIdentity.hpp"
#include "mornik/settings/UserDefaults.hpp"
#include "mornik/text/Json.hpp"

#include "tour/Tour.hpp"

namespace tour {

namespace {

struct Editor {
  std::string theme = "light";
  int fontSize = 12;
  std::vector<std::string> recent;
  mornik::Date lastOpened;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Editor, theme, fontSize, recent, lastOpened)

}  // namespace

void json() {
  heading("JSON, atomic files and settings");

  // Any type with to_json / from_json encodes and decodes; failures are Results.
  const Editor editor{"dark", 14, {"/home/me/notes.txt"}, mornik::Date::fromUnixTimestamp(0.5)};
  say("asJson: " + mornik::asJson(editor).value());
  say("asJsonISO8601: " + mornik::asJsonISO8601(editor).value());
  const auto decoded = mornik::decodeFromJson<Editor>(R"({"theme":"sepia","fontSize":"big"})");
  say("a wrong type: " + decoded.error().localizedDescription());
  say("a missing value: " +
      mornik::Flow::jsonUserDefaultsIO<Editor>(
          "editor", mornik::UserDefaults::atPath("/nonexistent/defaults.json"))
          .readContent()
          .error()
          .localizedDescription());

  // Settings live in one JSON file per application (here in a scratch folder,
  // so the tour leaves your real settings alone).
  std::string scratch = (std::filesystem::temp_directory_path() / "mornik-tour-XXXXXX").string();
  if (::mkdtemp(scratch.data()) == nullptr) return;
  const auto file = std::filesystem::path(scratch) / "defaults.json";
  say("this application's settings would go to " +
      (mornik::AppIdentity::configFolder() / "defaults.json").string());
  {
    const auto io =
        mornik::Flow::jsonUserDefaultsIO<Editor>("editor", mornik::UserDefaults::atPath(file));
    const auto saved = io.writeContent(editor);
    say(saved.isSuccess() ? "saved under the key \"editor\"" : saved.error().detailedDescription());
  }
  // A new store on the same file, as after a restart, reads the value back.
  const auto reloaded =
      mornik::Flow::jsonUserDefaultsIO<Editor>("editor", mornik::UserDefaults::atPath(file))
          .readContent();
  say("after a reload: theme " + reloaded.value().theme + ", font size " +
      std::to_string(reloaded.value().fontSize));

  // Writes replace files atomically and say why when they cannot.
  say(mornik::writeAtomically("/nonexistent/settings.json", "{}").error().localizedDescription());
  std::filesystem::remove_all(scratch);
}

}  // namespace tour
