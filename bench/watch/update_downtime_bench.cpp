// How long OBS is down during a plugin update, beside the bare silent install
// of the same installer. The real service under the service control manager
// updates a stand-in OBS from a loopback CDN that serves a 100 MB plugin
// installer at a home-broadband rate, twice: first with the metadata naming
// the installer's SHA-256, so the service stages the installer before it
// stops OBS, then with a metadata document without it, so the download
// happens while OBS is down. The downtime runs from the end of the OBS the
// service stopped to the start of the one it starts again. At this rate the
// staging outlasts its deadline, so the first launch only stages and the
// next one installs: that launch's downtime is the one measured.
// bench/watch/prepare_update_downtime.sh publishes the CDN first
// (scripts/bench.sh runs it).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/http_test_server.h"
#include "common/service_control.h"
#include "common/temp_dir.h"
#include "common/test_config.h"
#include "common/unique_handle.h"
#include "common/wine_path.h"
#include "process/fake_obs_process.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path Published = WinePathOf(DOWNTIME_DIR);
const char InstallerTarget[] = "/obsplugin/installers/plugin-7.exe";
const char MetadataTarget[] = "/obsplugin/meta/rev7_30.1.2.json";
// A home connection of 40 Mbit/s.
constexpr uint64_t InstallerBytesPerSecond = 5 * 1000 * 1000;

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

// The obs64.exe processes running from `exe` other than `except`.
std::vector<ObsLaunch> OtherObs(const fs::path& exe, DWORD except) {
  std::vector<ObsLaunch> found = RunningObs(exe);
  found.erase(std::remove_if(found.begin(), found.end(),
                             [&](const ObsLaunch& launch) {
                               return static_cast<DWORD>(launch.processId) == except;
                             }),
              found.end());
  return found;
}

// Launches OBS until the service updates it (a launch whose installer was
// staged too late is ended and launched again) and returns the downtime:
// from the end of the OBS the service stopped to the start of the one it
// started again, which is then ended. Negative on failure.
double UpdateDowntime(const fs::path& obsExe) {
  for (int launch = 0; launch < 2; ++launch) {
    const size_t first = ServiceLogMessages().size();
    FakeObsProcess obs(obsExe);
    std::vector<ObsLaunch> restarted;
    bool tooLate = false;
    const bool done = WaitUntil(
        [&] {
          restarted = OtherObs(obsExe, obs.processId());
          tooLate = CountLogged(first, "The installer was staged ") > 0;
          return !restarted.empty() || tooLate ||
                 CountLogged(first, "Staging the installer failed") > 0;
        },
        600s);
    if (!done || (restarted.empty() && !tooLate)) return -1;
    if (restarted.empty()) {
      std::printf("  (launch %d: the installer was staged after the deadline; launching again)\n",
                  launch + 1);
      continue;  // `obs` is ended on the way out
    }
    UniqueKernelHandle again(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                         static_cast<DWORD>(restarted[0].processId)));
    const double downtime = Seconds(TimeOf(again.get(), false), TimeOf(obs.handle(), true));
    EndRunningObs(obsExe);
    return downtime;
  }
  return -1;
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
  // The same release as the unsigned build takes it without the installer's
  // hash: the update then runs as it did before staging.
  nlohmann::json unpinned =
      nlohmann::json::parse(ReadFileBytes(Published / "cdn" / (MetadataTarget + 1)));
  unpinned.erase("installer_sha256");
  std::atomic<bool> pinned{true};
  HttpTestServer cdn(
      [&](const ReceivedRequest& request) {
        if (request.target == InstallerTarget) {
          Reply reply = Reply::WithBody(200, installer);
          reply.bytesPerSecond = InstallerBytesPerSecond;
          return reply;
        }
        if (request.target == MetadataTarget && !pinned) {
          return Reply::WithBody(200, unpinned.dump());
        }
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

  const double staged = UpdateDowntime(obsExe);
  WriteFileBytes(pluginFolder / "obs-browser.dll", "stale");
  pinned = false;
  const double unstaged = UpdateDowntime(obsExe);
  SERVICE_STATUS stopping{};
  service.Control(SERVICE_CONTROL_STOP, &stopping);
  service.WaitForState(SERVICE_STOPPED, 60s);
  if (staged < 0 || unstaged < 0) {
    std::printf("OBS was not updated (staged %.2f s, not staged %.2f s)\n", staged, unstaged);
    return 1;
  }

  // The same silent install alone, of the installer already on disk.
  const fs::path bareFolder = dir / L"bare\\obs-plugins\\64bit";
  fs::create_directories(bareFolder);
  const fs::path copy = dir / L"bare\\plugin-7.exe";
  WriteFileBytes(copy, installer);
  const auto start = std::chrono::steady_clock::now();
  const long installed =
      RunAndWait(QuotedCommandLine(copy.wstring(), L"/S /D=" + bareFolder.wstring()));
  const double bare =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (installed != 0) {
    std::printf("the bare install failed with exit code %ld\n", installed);
    return 1;
  }

  std::printf("plugin installer: %.1f MB, served at %.1f MB/s (%.1f s to download)\n",
              static_cast<double>(installer.size()) / 1e6,
              static_cast<double>(InstallerBytesPerSecond) / 1e6,
              static_cast<double>(installer.size()) / static_cast<double>(InstallerBytesPerSecond));
  std::printf("the silent install alone:                          %8.2f s\n", bare);
  std::printf(
      "OBS down, installer staged first:                  %8.2f s  ratio %5.2f (target <= 1.15)\n",
      staged, staged / bare);
  std::printf("OBS down, installer downloaded while OBS is down:  %8.2f s  ratio %5.2f\n", unstaged,
              unstaged / bare);
  return 0;
}
