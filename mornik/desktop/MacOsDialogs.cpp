#include "mornik/desktop/MacOsDialogs.hpp"

#include "mornik/base/Output.hpp"
#include "mornik/platform/FileDialogs.hpp"
#include "mornik/settings/AppIdentity.hpp"

namespace mornik {

namespace {

using Paths = std::optional<std::vector<std::filesystem::path>>;

Result<Paths> show(const FileDialogs::Request& request) {
  return FileDialogs::shared()->run(request);
}

Result<std::optional<std::vector<URL>>> chooseToOpen(const std::string& title,
                                                     const std::set<MacOsDlgSettings>& conf,
                                                     const std::optional<URL>& startUrl,
                                                     const std::optional<std::string>& submit,
                                                     bool multiple) {
  const bool folders = conf.contains(MacOsDlgSettings::canChooseDirs);
  const bool files = conf.contains(MacOsDlgSettings::canChooseFiles);
  if (!folders && !files) return std::optional<std::vector<URL>>();
  FileDialogs::Request request;
  request.title = AppIdentity::localizedString(title);
  request.acceptLabel = submit.value_or("");
  if (startUrl) request.folder = startUrl->path();
  request.chooseFiles = files;
  request.chooseFolders = folders;
  request.multiple = multiple;
  request.showHidden = conf.contains(MacOsDlgSettings::showsHiddenFiles);
  return show(request).map([](const Paths& paths) -> std::optional<std::vector<URL>> {
    if (!paths) return std::nullopt;
    std::vector<URL> urls;
    for (const auto& path : *paths) urls.push_back(URL::fileURL(path.string()));
    return urls;
  });
}

template <class T>
std::optional<T> printingFailure(Result<std::optional<T>> result) {
  if (result.isFailure()) {
    printLine(result.error().localizedDescription());
    return std::nullopt;
  }
  return std::move(result).value();
}

}  // namespace

Result<std::optional<URL>> MacOsDialogs::openR(const std::string& title,
                                               const std::set<MacOsDlgSettings>& conf,
                                               const std::optional<URL>& startUrl,
                                               const std::optional<std::string>& submitBtnText) {
  return chooseToOpen(title, conf, startUrl, submitBtnText, false)
      .map([](const std::optional<std::vector<URL>>& urls) -> std::optional<URL> {
        if (!urls || urls->empty()) return std::nullopt;
        return urls->front();
      });
}

Result<std::optional<std::vector<URL>>> MacOsDialogs::openManyR(
    const std::string& title, const std::set<MacOsDlgSettings>& conf,
    const std::optional<URL>& startUrl, const std::optional<std::string>& submitBtnText) {
  return chooseToOpen(title, conf, startUrl, submitBtnText, true);
}

Result<std::optional<URL>> MacOsDialogs::saveR(const std::string& title,
                                               const std::optional<URL>& startDir,
                                               const std::string& fileName,
                                               const std::set<MacOsSaveDlgSettings>& conf) {
  FileDialogs::Request request;
  request.title = AppIdentity::localizedString(title);
  request.save = true;
  request.fileName = fileName;
  request.showHidden = conf.contains(MacOsSaveDlgSettings::showsHiddenFiles);
  if (startDir) request.folder = startDir->path();
  return show(request).map([](const Paths& paths) -> std::optional<URL> {
    if (!paths || paths->empty()) return std::nullopt;
    return URL::fileURL(paths->front().string());
  });
}

std::optional<URL> MacOsDialogs::open(const std::string& title,
                                      const std::set<MacOsDlgSettings>& conf,
                                      const std::optional<URL>& startUrl,
                                      const std::optional<std::string>& submitBtnText) {
  return printingFailure(openR(title, conf, startUrl, submitBtnText));
}

std::optional<std::vector<URL>> MacOsDialogs::openMany(
    const std::string& title, const std::set<MacOsDlgSettings>& conf,
    const std::optional<URL>& startUrl, const std::optional<std::string>& submitBtnText) {
  return printingFailure(openManyR(title, conf, startUrl, submitBtnText));
}

std::optional<URL> MacOsDialogs::save(const std::string& title, const std::optional<URL>& startDir,
                                      const std::string& fileName,
                                      const std::set<MacOsSaveDlgSettings>& conf) {
  return printingFailure(saveR(title, startDir, fileName, conf));
}

}  // namespace mornik
