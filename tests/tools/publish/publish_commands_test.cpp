#include "tools/publish/publish_commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "common/temp_dir.h"
#include "tools/publish/cdn_folder.h"
#include "update/md5.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::HasSubstr;

const char InstallerUrl[] = "http://127.0.0.1:18093/obsplugin/installers/plugin-rev7.exe";

std::string UpperMd5(const std::string& bytes) {
  std::string hex = Md5::ToHex(Md5::Of(bytes.data(), bytes.size()));
  for (char& c : hex) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return hex;
}

json ReadJson(const fs::path& path) { return json::parse(ReadFileBytes(path)); }

// Every file under `folder`, relative, sorted.
std::vector<std::string> Listing(const fs::path& folder) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    files.push_back(entry.path().lexically_relative(folder).generic_string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class PublishTest : public ::testing::Test {
 protected:
  PublishTest() {
    fs::create_directories(cdn);
    fs::create_directories(plugin / "locale");
    WriteFileBytes(plugin / "obs-browser.dll", "browser");
    WriteFileBytes(plugin / "locale/en-US.ini", "");
  }
  ReleaseOptions Release(int32_t rev = 7) {
    return {cdn, rev, plugin, {"30.1.2", "29.1.3"}, InstallerUrl};
  }

  TempDir dir;
  fs::path cdn = dir / "cdn";
  fs::path plugin = dir / "plugin folder";
  std::ostringstream out;
};

TEST_F(PublishTest, ReleaseBuildsTheInstallerAtTheUrlPathAndListsEveryFileWithUpperCaseMd5) {
  PublishRelease(Release(), out);

  EXPECT_EQ(ReadFileBytes(cdn / "obsplugin/installers/plugin-rev7.exe").substr(0, 2), "MZ");
  for (const char* name : {"rev7_30.1.2.json", "rev7_29.1.3.json"}) {
    json document = ReadJson(cdn / "obsplugin/meta" / name);
    EXPECT_EQ(document["installer"], InstallerUrl);
    EXPECT_EQ(
        document["files"],
        json::parse(R"([{"file":"locale/en-US.ini","hash":")" + UpperMd5("") +
                    R"("},{"file":"obs-browser.dll","hash":")" + UpperMd5("browser") + R"("}])"));
  }
  EXPECT_EQ(CheckCdn(cdn, out), 2) << out.str();  // no rollout, no version table yet
}

TEST_F(PublishTest, BadInputWritesNothing) {
  ReleaseOptions badVersion = Release();
  badVersion.obsVersions = {"30.1.2", "30.1"};
  ReleaseOptions noPlugin = Release();
  noPlugin.pluginDir = dir / "missing";
  ReleaseOptions outside = Release();
  outside.installerUrl = "http://cdn/../setup.exe";
  ReleaseOptions noCdn = Release();
  noCdn.cdn = dir / "no cdn";
  for (const ReleaseOptions& options : {badVersion, noPlugin, outside, noCdn}) {
    EXPECT_THROW(PublishRelease(options, out), PublishError);
  }
  EXPECT_THROW(PublishObsVersion(cdn, plugin / "obs-browser.dll", "30.1.x", out), PublishError);
  EXPECT_THROW(PublishObsVersion(cdn, dir / "no.exe", "30.1.2", out), PublishError);
  EXPECT_THROW(ParseRevision("0", "--rev"), PublishError);
  EXPECT_THROW(ParseRevision("2147483648", "--rev"), PublishError);
  EXPECT_THROW(ParseChance("101"), PublishError);
  EXPECT_TRUE(Listing(cdn).empty());
  EXPECT_FALSE(fs::exists(dir / "no cdn"));
}

TEST_F(PublishTest, ObsKeepsOtherBuildsAndDropsALowerCaseEntryThatWouldHideTheNewOne) {
  const std::string hash = UpperMd5("browser");
  std::string lower = hash;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  fs::create_directories(cdn / "obsplugin");
  WriteFileBytes(cdn / "obsplugin/obsversions.json",
                 R"({"obsversions":{"AAAA":"1.2.3",")" + lower + R"(":"29.0.0"},"other":1})");

  PublishObsVersion(cdn, plugin / "obs-browser.dll", "30.1.2", out);

  EXPECT_EQ(
      ReadJson(cdn / "obsplugin/obsversions.json"),
      json::parse(R"({"obsversions":{"AAAA":"1.2.3",")" + hash + R"(":"30.1.2"},"other":1})"));
}

TEST_F(PublishTest, CheckReportsWhatTheServiceCouldNeverUse) {
  PublishRelease(Release(7), out);
  PublishObsVersion(cdn, plugin / "obs-browser.dll", "30.1.2", out);
  PublishRollout(cdn, 7, 6, 50, out);
  WriteFileBytes(cdn / "obsplugin/meta/rev6_30.1.2.json",
                 R"({"installer":"http://h/obsplugin/installers/gone.exe",)"
                 R"("files":[{"file":"a.dll","hash":"0123456789abcdef0123456789ABCDEF"}]})");
  std::ostringstream report;
  EXPECT_EQ(CheckCdn(cdn, report), 2) << report.str();
  EXPECT_THAT(report.str(), HasSubstr("gone.exe is not in the CDN folder"));
  EXPECT_THAT(report.str(), HasSubstr("can never match"));

  PublishRollout(cdn, 8, 7, 50, report);  // release 8 was never published
  report.str("");
  EXPECT_EQ(CheckCdn(cdn, report), 1) << report.str();
  EXPECT_THAT(report.str(), HasSubstr("release 8 has no metadata for OBS 30.1.2"));
}

}  // namespace
