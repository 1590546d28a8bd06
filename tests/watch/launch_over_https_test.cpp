// One launch check against the published CDN over real TLS, in process: the
// release is found when the CDN's certificate passes every check, and with
// a certificate for another name, from an authority the prefix does not
// trust, or expired, the first document fails with the download line and
// nothing is run.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/folder_worker_state.h"
#include "common/https_cdn.h"
#include "common/service_control.h"
#include "common/temp_dir.h"
#include "log/service_log.h"
#include "process/fake_obs_process.h"
#include "update/plugin_metadata_resolver.h"
#include "watch/launch_follow_up.h"
#include "watch/staging_thread.h"

namespace {

namespace fs = std::filesystem;

// Counts the installs it is asked for and runs none. The installer is
// staged for real; the launch is made up, so no OBS has to run.
class CountingRunner : public UpdateRunner {
 public:
  bool ObsStillRuns(const ObsLaunch&, HANDLE) override { return true; }
  bool IsActiveUsersObs(const ObsLaunch&, std::vector<unsigned char>&) override { return true; }
  bool GetServicePath(std::wstring& path) override {
    path = L"C:\\Program Files\\Lumenfeld\\LumenfeldBrowserService.exe";
    return true;
  }
  bool RunGuiProcess(const GuiProcessRequest& request, ObsLaunch&, UniqueKernelHandle&) override {
    arguments.push_back(request.installerArguments);
    return false;
  }
  std::vector<std::wstring> arguments;
};

size_t CountMessages(size_t first, const std::string& message) {
  std::vector<std::string> messages = ServiceLogMessages();
  size_t count = 0;
  for (size_t i = first; i < messages.size(); ++i) count += messages[i] == message;
  return count;
}

TEST(LaunchOverHttps, OnlyACdnWhoseCertificatePassesEveryCheckIsBelieved) {
  HttpsCdn cdn;
  ASSERT_TRUE(cdn.valid()) << "run through with_https_cdn.sh";
  TempDir dir;
  FolderWorkerState worker(dir / "state");
  worker.running = true;
  const fs::path obsExe = PlaceFakeObs(dir.path(), L"obs-studio\\bin\\64bit\\obs64.exe");
  const fs::path plugins = dir / L"obs-studio\\obs-plugins\\64bit";
  fs::create_directories(plugins);
  WriteFileBytes(plugins / "obs-browser.dll", "browser plugin, revision 4\n");

  for (const std::string& port :
       {cdn.wrongNamePort, cdn.untrustedPort, cdn.expiredPort, cdn.port}) {
    CountingRunner runner;
    ObsProcessHistory history;
    const ObsLaunch launch{obsExe.wstring(), static_cast<int64_t>(std::time(nullptr)), 4242};
    const size_t first = ServiceLogMessages().size();
    LaunchFollowUp followUp;
    HandleFreshLaunch(
        worker,
        [&](WorkerState& w) {
          return std::make_unique<PluginMetadataResolver>(HttpsCdn::Url(port, ""), w);
        },
        runner, launch, history, followUp);
    // The staging thread's part, then the watch thread's next pass.
    while (std::optional<StagingBoard::Job> job = worker.staging.TakeJob()) {
      RunStagingJob(worker, *job);
    }
    followUp.Advance(worker, runner, ServiceLog::Instance(), history,
                     std::chrono::steady_clock::now());

    const size_t refused = CountMessages(
        first, "Failed to download " + HttpsCdn::Url(port, "/obsplugin/meta_publish.json"));
    if (port == cdn.port) {
      EXPECT_EQ(refused, 0u);
      ASSERT_EQ(runner.arguments.size(), 1u);
      const std::string installer = HttpsCdn::Url(port, "/obsplugin/installers/plugin-rev5.exe");
      EXPECT_EQ(runner.arguments[0].rfind(
                    L"/url='" + std::wstring(installer.begin(), installer.end()) + L"'", 0),
                0u)
          << "installer named by the document";
      EXPECT_NE(runner.arguments[0].find(L"' /staged='" + (dir / "state" / "Staged").wstring()),
                std::wstring::npos)
          << "staged over TLS";
    } else {
      EXPECT_EQ(refused, 1u) << port;
      EXPECT_TRUE(runner.arguments.empty()) << port;
    }
    EXPECT_EQ(history.size(), 1u);
  }
}

}  // namespace
