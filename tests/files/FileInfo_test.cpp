#include "mornik/files/FileInfo.hpp"

#include <cerrno>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sys/stat.h>

#include "mornik/files/FSApp.hpp"

#include "tests/files/FilesTest.hpp"

namespace mornik {
namespace {

const auto& gHome = test::useTemporaryHome();

FSFileInfo info(const std::filesystem::path& path) { return FSFileInfo(FSstr(path.string())); }
FSUrlFileInfo urlInfo(const std::filesystem::path& path) {
  return FSUrlFileInfo(FSurl(test::url(path)));
}

// Writes a width x height PNG, with PNG text entries ("tEXt::Key", value).
void writePng(const std::filesystem::path& path, int width, int height,
              const std::vector<std::pair<std::string, std::string>>& text = {}) {
  std::filesystem::create_directories(path.parent_path());
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, width, height);
  gdk_pixbuf_fill(pixbuf, 0x336699ff);
  std::vector<char*> keys;
  std::vector<char*> values;
  for (const auto& [key, value] : text) {
    keys.push_back(const_cast<char*>(key.c_str()));  // NOLINT: GLib's signature
    values.push_back(const_cast<char*>(value.c_str()));
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  ASSERT_TRUE(gdk_pixbuf_savev(pixbuf, path.c_str(), "png", keys.data(), values.data(), nullptr));
  g_object_unref(pixbuf);
}

TEST(FSFileInfo, NamesAndKinds) {
  for (const auto& [path, name] :
       std::vector<std::pair<std::string, std::string>>{{"/a/b/", "b"},
                                                        {"/a/b", "b"},
                                                        {"/", "failedToGetName"},
                                                        {"", "failedToGetName"},
                                                        {"rel", "rel"}}) {
    EXPECT_EQ(info(path).name(), name) << path;
  }
  test::TempDir dir;
  test::writeFile(dir / "Tool.AppDir/AppRun", "#!/bin/sh\n");
  std::filesystem::create_directories(dir / "Words.localized");
  EXPECT_FALSE(info(dir / "Tool.AppDir").isExecutable());  // AppRun not executable yet
  std::filesystem::permissions(dir / "Tool.AppDir/AppRun", std::filesystem::perms(0755));
  EXPECT_TRUE(info(dir / "Tool.AppDir").isExecutable());
  EXPECT_TRUE(urlInfo(dir / "Tool.AppDir/AppRun").isExecutable());
  EXPECT_TRUE(info(dir / "Tool.AppDir").isPackage());
  EXPECT_TRUE(info(dir / "Words.localized").isPackage());
  EXPECT_FALSE(info(dir.path()).isPackage());
  EXPECT_FALSE(info(dir.path()).isExecutable());
  EXPECT_TRUE(info(dir.path()).isDirectory());
  EXPECT_FALSE(info(dir / "Tool.AppDir/AppRun").isDirectory());

  EXPECT_EQ(info("/x/photo.png").mimeType(), "image/png");
  EXPECT_EQ(info("/x/notes.txt").mimeType(), "text/plain");
  EXPECT_EQ(info("/x/.cfg.png").mimeType(), "image/png");
  EXPECT_EQ(info("/x/.png").mimeType(), "application/octet-stream");  // a dot name
  EXPECT_EQ(info("").mimeType(), std::nullopt);
}

TEST(FSFileInfo, SizesAndDates) {
  test::TempDir dir;
  test::writeFile(dir / "mb", std::string(1000000, 'x'));
  EXPECT_EQ(info(dir / "mb").fileSizeBytes(), 1000000U);
  EXPECT_EQ(info(dir / "mb").fileSizeString(), " - 1 MB");
  EXPECT_EQ(info(dir.path()).fileSizeString(), std::nullopt);
  EXPECT_EQ(info(dir / "missing").fileSizeBytes(), std::nullopt);

  // Read after its last change: the access time is the last use.
  const timespec times[2] = {{2000000000, 0}, {1500000000, 0}};  // access, modification
  ASSERT_EQ(::utimensat(AT_FDCWD, (dir / "mb").c_str(), times, 0), 0);
  EXPECT_EQ(info(dir / "mb").lastUseDate(), Date::fromUnixTimestamp(2000000000));
  EXPECT_EQ(info(dir / "mb").modificationDate(), Date::fromUnixTimestamp(1500000000));
  EXPECT_EQ(info(dir / "missing").lastUseDate(), std::nullopt);

  testing::internal::CaptureStdout();
  EXPECT_EQ(info(dir / "missing").creationDate(), std::nullopt);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "FileAttribute error: " + (dir / "missing").string() + ": No such file or directory\n");
}

TEST(FSFileInfo, ByteCountsInTheFileStyle) {
  for (const auto& [bytes, text] :
       std::vector<std::pair<std::uint64_t, std::string>>{{0, "Zero KB"},
                                                          {1, "1 byte"},
                                                          {999, "999 bytes"},
                                                          {1000, "1 KB"},
                                                          {1499, "1 KB"},
                                                          {1500000, "1.5 MB"},
                                                          {1234567890, "1.23 GB"}}) {
    EXPECT_EQ(formatByteCount(bytes), text) << bytes;
  }
}

TEST(FSFileInfo, WhatTheDesktopKnows) {
  test::TempDir dir;
  test::writeFile(dir / ".dot", "");
  test::writeFile(dir / "listed", "");
  test::writeFile(dir / ".hidden", "listed\n");
  test::writeFile(dir / "shown.txt", "text");
  test::writeFile(dir / "notes~", "");  // a backup
  EXPECT_TRUE(info(dir / ".dot").isHidden());
  EXPECT_TRUE(info(dir / "notes~").isHidden());
  EXPECT_TRUE(urlInfo(dir / "listed").isHidden());
  EXPECT_FALSE(info(dir / "shown.txt").isHidden());
  EXPECT_FALSE(info(dir / ".missing").isHidden());
  EXPECT_THAT(info(dir / "shown.txt").iconNames(), testing::StartsWith("text-plain"));
  EXPECT_EQ(info(dir / "shown.txt").getAttributes().at("standard::size"), "4");
  EXPECT_TRUE(info(dir / "missing").getAttributes().empty());

  // The date added is the one of the desktop's recently-used record.
  const std::string uri = test::url(dir / "shown.txt").absoluteString();
  test::writeFile(
      gHome / ".local/share/recently-used.xbel",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xbel version=\"1.0\">"
      "<bookmark href=\"" +
          uri +
          "\" added=\"2024-01-02T03:04:05Z\" "
          "modified=\"2024-01-02T03:04:05Z\" visited=\"2024-01-02T03:04:05Z\"/></xbel>\n");
  EXPECT_EQ(info(dir / "shown.txt").addedToFSDate(), Date::fromUnixTimestamp(1704164645));
  EXPECT_EQ(info(dir / ".dot").addedToFSDate(), std::nullopt);
}

TEST(FSFileInfo, ImageSizesAndThumbnails) {
  test::TempDir dir;
  writePng(dir / "wide.png", 300, 200);
  test::writeFile(dir / "not.png", "text");
  EXPECT_EQ(urlInfo(dir / "wide.png").getImgDimensions(), (IntSize{300, 200}));
  EXPECT_EQ(urlInfo(dir / "not.png").getImgDimensions(), std::nullopt);

  const auto rendered = info(dir / "wide.png").hiresThumbnail(60).maybeSuccess();
  ASSERT_TRUE(rendered);
  EXPECT_EQ(rendered->size, (IntSize{60, 40}));
  EXPECT_TRUE(rendered->png.starts_with("\x89PNG"));
  // Anything else gets its icon; the asynchronous form answers the same,
  // asked twice.
  EXPECT_EQ(info(dir / "not.png").hiresThumbnail(60).value().size, (IntSize{60, 60}));
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(getImgThumbnail(test::url(dir / "not.png"), 50)->wait().value()->size,
              (IntSize{50, 50}));
    EXPECT_EQ(getImgThumbnail(test::url(dir / "wide.png"), 60)->wait().value()->size,
              (IntSize{60, 40}));
  }
  EXPECT_EQ(getImgThumbnail(test::url(dir / "missing"), 60)->wait().value(), std::nullopt);

  // A fresh thumbnail in the desktop's cache is used (it is square here);
  // one older than the file is not.
  struct stat status {};
  ASSERT_EQ(::stat((dir / "wide.png").c_str(), &status), 0);
  const std::string uri = test::url(dir / "wide.png").absoluteString();
  gchar* md5 = g_compute_checksum_for_string(G_CHECKSUM_MD5, uri.c_str(), -1);
  const auto cached = gHome / ".cache/thumbnails/normal" / (std::string(md5) + ".png");
  g_free(md5);
  writePng(cached, 128, 128,
           {{"tEXt::Thumb::URI", uri}, {"tEXt::Thumb::MTime", std::to_string(status.st_mtime)}});
  EXPECT_EQ(getImgThumbnailSync(test::url(dir / "wide.png"), 100)->size, (IntSize{100, 100}));
  writePng(cached, 128, 128, {{"tEXt::Thumb::MTime", std::to_string(status.st_mtime - 1)}});
  EXPECT_EQ(getImgThumbnailSync(test::url(dir / "wide.png"), 100)->size, (IntSize{100, 67}));
}

// The icon theme's image at the size asked (a fractional one truncated):
// the user's theme (GTK's settings file) first, by the file of the nearest
// size, then the installed theme it inherits.
TEST(FSFileInfo, IconsFromTheIconTheme) {
  test::TempDir dir;
  test::writeFile(dir / "notes.txt", "text");
  writePng(dir / "photo.png", 2, 2);
  const auto mine = gHome / ".local/share/icons/Mine";
  test::writeFile(mine / "index.theme",
                  "[Icon Theme]\nInherits=Adwaita\nDirectories=16/m,64/m\n"
                  "[16/m]\nSize=16\nType=Fixed\n[64/m]\nSize=64\nType=Fixed\n");
  writePng(mine / "16/m/text-plain.png", 16, 16);
  writePng(mine / "64/m/text-plain.png", 64, 32);
  test::writeFile(gHome / ".config/gtk-3.0/settings.ini", "[Settings]\ngtk-icon-theme-name=Mine\n");
  for (const auto& [file, size, side] : std::vector<std::tuple<std::string, double, IntSize>>{
           {"notes.txt", 20, {20, 20}},    // 16 x 16 is nearer
           {"notes.txt", 60.9, {60, 30}},  // 64 x 32
           {"photo.png", 48, {48, 48}},    // Adwaita's image-x-generic
           {"photo.png", 100, {100, 100}}}) {
    const auto icon = info(dir / file).hiresIcon(size);
    ASSERT_TRUE(icon.isSuccess()) << icon.error().localizedDescription();
    EXPECT_EQ(icon.value().size, side) << file << " " << size;
    EXPECT_TRUE(icon.value().png.starts_with("\x89PNG"));
  }
  std::filesystem::remove(gHome / ".config/gtk-3.0/settings.ini");
  EXPECT_EQ(info(dir / "notes.txt").icon().value().size, (IntSize{32, 32}));
  EXPECT_TRUE(info(dir / "missing").icon().error().is(kPOSIXErrorDomain, ENOENT));

  // The shared file service is the shared DesktopFiles, a fake one included.
  auto fake = std::make_shared<MemoryDesktopFiles>(dir / "trash");
  fake->describe(dir / "notes.txt", {"text/plain", "text-plain", {}});
  fake->setIcon("text-plain", {7, 7, "png"});
  DesktopFiles::setShared(fake);
  EXPECT_EQ(FS::fmDefault(), fake);
  EXPECT_EQ(FSApp::fmDefault(), fake);
  EXPECT_EQ(info(dir / "notes.txt").hiresIcon(64).value().size, (IntSize{7, 7}));
  DesktopFiles::setShared(nullptr);
  EXPECT_NE(FS::fmDefault(), fake);
}

}  // namespace
}  // namespace mornik
