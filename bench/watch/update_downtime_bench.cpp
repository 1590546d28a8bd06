// How long OBS is down during a plugin update, beside what the update's own
// work costs. The real service under the service control manager updates a
// stand-in OBS from a loopback CDN serving a 100 MB plugin installer; the
// downtime runs from the end of the launched OBS to the start of the one the
// service starts again. Then the same download and the same silent install
// run bare, one after the other, and the ratio of the two is printed.
// bench/watch/prepare_update_downtime.sh publishes the CDN first
// (scripts/bench.sh runs it).
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/http_test_server.h"
#include "common/service_control.h"
#include "common/temp_dir.h"
#include "common/test_config.h"
#include "common/unique_handle.h"
#include "common/wine_path.h"
#include "net/http_download.h"
#include "process/fake_obs_process.h"
#include "process/windows_functions.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path Published = WinePathOf(DOWNTIME_DIR);
const char InstallerTarget[] = "/obsplugin/installers/plugin-7.exe";

double Seconds(const FILETIME& later, const FILETIME& earlier) {
  const auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(ticks(later) - ticks(earlier)) / 1e7;
}

FILETIME TimeOf(HANDLE process, bool exit) {
  FILETIME creation{}, ended{}, kernel{}, user{};
  GetProcessTimes(process, &creation, &ended, &kernel, &user);
  return exit ? ended : creation;
}

// Runs `commandLine` as it stands and waits for it; its exit code, or -1.
long RunAndWait(std::wstring commandLine) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return -1;
  }
  UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  WaitForSingleObject(process.get(), INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.get(), &code);
  return static_cast<long>(code);
}

}  // namespace

int main() {
  if (!fs::exists(Published / "cdn")) {
    std::printf("no CDN in %s: run bench/watch/prepare_update_downtime.sh first\n", DOWNTIME_DIR);
    return 1;
  }
  const std::string installer =
      ReadFileBytes(Published / "cdn" / "obsplugin" / "installers" / "plugin-7.exe");
  HttpTestServer cdn(
      [&](const ReceivedRequest& request) {
        if (request.target == InstallerTarget) return Reply::WithBody(200, installer);
        fs::path file = Published / "cdn" / fs::path(request.target.substr(1));
        std::error_code error;
        if (request.target.find("..") != std::string::npos || !fs::is_regular_file(file, error)) {
          return Reply::WithBody(404, "not found");
        }
        return Reply::WithBody(200, ReadFileBytes(file));
      },
      TestCdnPort);

  TempDir dir;
  const fs::path serviceFolder = dir / L"Lumenfeld Service";
  fs::create_directories(serviceFolder);
  for (const char* program :
       {SERVICE_EXE_PATH, DOWNLOADER_EXE_PATH, TO_FRONT_EXE_PATH, USER_LAUNCH_EXE_PATH}) {
    fs::path source = WinePathOf(program);
    fs::copy_file(source, serviceFolder / source.filename());
  }
  const fs::path obsExe = PlaceFakeObs(dir.path(), L"obs-studio\\bin\\64bit\\obs64.exe");
  const fs::path pluginFolder = dir / L"obs-studio\\obs-plugins\\64bit";
  fs::create_directories(pluginFolder);
  WriteFileBytes(pluginFolder / "obs-browser.dll", "stale");

  ClearServiceDataDirectory();
  fs::create_directories(ServiceDataDirectory());
  WriteFileBytes(fs::path(ServiceDataDirectory()) / "roll.txt", "1");
  RegisteredService service(L"Lumenfeld Browser Service",
                            (serviceFolder / "LumenfeldBrowserService.exe").wstring());
  if (!service.valid() || !service.Start() || !service.WaitForState(SERVICE_RUNNING, 30s)) {
    std::printf("the service did not start, GetLastError = %lu\n",
                static_cast<unsigned long>(GetLastError()));
    return 1;
  }

  FakeObsProcess obs(obsExe);
  std::vector<ObsLaunch> restarted;
  const bool updated = WaitUntil(
      [&] {
        restarted.clear();
        std::vector<ObsLaunch> all;
        WindowsFunctions::FindProcessesByName("obs64.exe", all);
        for (const ObsLaunch& launch : all) {
          if (fs::path(launch.filePath) == obsExe &&
              static_cast<DWORD>(launch.processId) != obs.processId()) {
            restarted.push_back(launch);
          }
        }
        return !restarted.empty();
      },
      600s);
  if (!updated) {
    std::printf("OBS was not started again within 10 minutes\n");
    return 1;
  }
  UniqueKernelHandle again(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE,
                                       static_cast<DWORD>(restarted[0].processId)));
  const double downtime = Seconds(TimeOf(again.get(), false), TimeOf(obs.handle(), true));
  if (again) TerminateProcess(again.get(), 0);
  SERVICE_STATUS stopping{};
  service.Control(SERVICE_CONTROL_STOP, &stopping);
  service.WaitForState(SERVICE_STOPPED, 60s);

  // The same work bare: the download, then the silent install.
  const fs::path bareFolder = dir / L"bare\\obs-plugins\\64bit";
  fs::create_directories(bareFolder);
  const fs::path download = dir / L"bare\\plugin-7.exe";
  const auto start = std::chrono::steady_clock::now();
  std::string failure;
  const bool downloaded =
      DownloadFileWithProgress(cdn.BaseUrl() + InstallerTarget, download.wstring(), {}, failure);
  const long installed =
      RunAndWait(QuotedCommandLine(download.wstring(), L"/S /D=" + bareFolder.wstring()));
  const double bare =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!downloaded || installed != 0) {
    std::printf("the bare run failed: %s, installer exit code %ld\n", failure.c_str(), installed);
    return 1;
  }

  std::printf("plugin installer: %.1f MB\n", static_cast<double>(installer.size()) / 1048576.0);
  std::printf("OBS down during the update (stop to restart):   %8.2f s\n", downtime);
  std::printf("the same download and silent install, bare:     %8.2f s\n", bare);
  std::printf("ratio (downtime / bare):                         %8.2f\n", downtime / bare);
  return 0;
}
