// The plugin update over real TLS under the service control manager: a
// service built for https://localhost:<port> finds a stale plugin against
// the CDN that nginx serves with a certificate from an authority only this
// test's prefix trusts; the downloader fetches the installer over HTTPS,
// OBS is started again and the release is recorded (run through
// with_https_cdn.sh).
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/https_cdn.h"
#include "common/service_control.h"
#include "common/temp_dir.h"
#include "common/wine_path.h"
#include "process/fake_obs_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The folder publish_https_cdn.sh wrote; nginx serves its "cdn".
const fs::path Published = WinePathOf(E2E_DIR);

TEST(PluginUpdateOverHttps, AStalePluginIsUpdatedFromTheCdnOverHttps) {
  HttpsCdn cdn;
  ASSERT_TRUE(cdn.valid()) << "run through with_https_cdn.sh";
  ClearServiceDataDirectory();
  TempDir dir;
  const fs::path serviceFolder = dir / L"Lumenfeld Service";
  fs::create_directories(serviceFolder);
  for (const char* program :
       {SERVICE_EXE_PATH, DOWNLOADER_EXE_PATH, TO_FRONT_EXE_PATH, USER_LAUNCH_EXE_PATH}) {
    const fs::path source = WinePathOf(program);
    fs::copy_file(source, serviceFolder / source.filename());
  }
  const fs::path obsExe =
      PlaceFakeObs(dir.path(), L"Program Files\\obs-studio\\bin\\64bit\\obs64.exe");
  const fs::path plugins = dir / L"Program Files\\obs-studio\\obs-plugins\\64bit";
  fs::create_directories(plugins);
  fs::copy(Published / "plugin", plugins, fs::copy_options::recursive);
  WriteFileBytes(plugins / "obs-browser.dll", "browser plugin, revision 4\n");

  RegisteredService service(L"Lumenfeld Browser Service",
                            (serviceFolder / "LumenfeldBrowserService.exe").wstring());
  ASSERT_TRUE(service.valid()) << GetLastError();
  ASSERT_TRUE(service.Start()) << GetLastError();
  ASSERT_TRUE(service.WaitForState(SERVICE_RUNNING, 30s));
  const size_t first = ServiceLogMessages().size();
  {
    FakeObsProcess obs(obsExe);
    ASSERT_TRUE(obs.valid());
    // Staged by the staging thread first, then installed.
    EXPECT_TRUE(
        WaitUntil([&] { return CountLogged(first, "Release 5 is installed for ") > 0; }, 90s));
  }

  EXPECT_EQ(CountLogged(first, "Ran GetExitCodeProcess, exitCode = 0"), 1u);
  for (const char* file : {"obs-browser.dll", "obs-browser-page.exe", "locale/en-US.ini"}) {
    EXPECT_EQ(ReadFileBytes(plugins / file), ReadFileBytes(Published / "plugin" / file)) << file;
  }
  EXPECT_EQ(ReadFileBytes(fs::path(ServiceDataDirectory()) / "lastrev.txt"), "5");
  const std::string served = ReadFileBytes(cdn.accessLog);
  EXPECT_NE(served.find("\"GET /obsplugin/meta_publish.json"), std::string::npos);
  EXPECT_NE(served.find("\"GET /obsplugin/installers/plugin-rev5.exe"), std::string::npos);
  EXPECT_EQ(RunningObs(obsExe).size(), 1u);
  EXPECT_TRUE(EndRunningObs(obsExe));
}

}  // namespace
