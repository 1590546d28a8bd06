// The downloader fetching the installer over real TLS (run through
// with_https_cdn.sh): it installs from a server with a trusted certificate
// and refuses every other one with its download-failed code.
#include <windows.h>

#include <filesystem>

#include "common/https_cdn.h"
#include "common/temp_dir.h"
#include "common/wine_path.h"
#include "gmock/gmock.h"
#include "gtest/gtest.h"
#include "tool_run.h"
#include "tools/downloader/exit_codes.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace {

class DownloaderHttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cdn.valid()) << "run through with_https_cdn.sh";
    fs::create_directories(cdn.root / "installers");
    fs::copy_file(WinePathOf(PLUGIN_INSTALLER_PATH), cdn.root / "installers" / "plugin.exe",
                  fs::copy_options::overwrite_existing);
    ASSERT_TRUE(DownloadLeftovers().empty());
  }

  DWORD RunDownloader(const std::string& port) {
    const std::string url = HttpsCdn::Url(port, "/installers/plugin.exe");
    ToolRun run(WinePathOf(DOWNLOADER_PATH),
                L"/url='" + std::wstring(url.begin(), url.end()) + L"' /pluginFolder='" +
                    pluginFolder.wstring() + L"' /pathToObs64='" +
                    (dir / "obs-studio\\bin\\64bit\\obs64.exe").wstring() + L"'");
    EXPECT_TRUE(run.valid());
    return run.Wait();
  }

  HttpsCdn cdn;
  TempDir dir;
  fs::path pluginFolder = dir / "obs-studio\\obs-plugins\\64bit";
};

TEST_F(DownloaderHttpsTest, InstallsFromATrustedServerAndRefusesEveryBadCertificate) {
  for (const std::string& port : {cdn.wrongNamePort, cdn.untrustedPort, cdn.expiredPort}) {
    EXPECT_EQ(RunDownloader(port), static_cast<DWORD>(downloader_exit::kDownloadFailed)) << port;
    EXPECT_FALSE(fs::exists(pluginFolder)) << port;
    EXPECT_TRUE(DownloadLeftovers().empty()) << port;
  }
  EXPECT_EQ(RunDownloader(cdn.port), 0u);
  EXPECT_EQ(ReadFileBytes(pluginFolder / "obs-browser.dll"), "browser plugin build 140\n");
  EXPECT_TRUE(DownloadLeftovers().empty());
  EXPECT_THAT(ReadFileBytes(cdn.accessLog), HasSubstr("GET /installers/plugin.exe"));
}

}  // namespace
