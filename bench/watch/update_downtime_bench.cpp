// How long OBS is down during a plugin update, beside the bare silent install
// of the same installer. The real service under the service control manager
// updates a stand-in OBS from a loopback CDN that serves a 100 MB plugin
// installer at a home-broadband rate, in three ways, one after the other in
// one run of the service:
//  1. release 7 is published while OBS runs (release 6, which the plugin
//     files match, before it); when OBS is closed the service checks that
//     install and stages the installer, so the first stale launch after the
//     release installs at once;
//  2. release 7 is published while OBS is closed: the first stale launch
//     begins the staging but the download outlasts its deadline, so OBS is
//     left running; the user closes and opens OBS until a launch is updated;
//  3. as 2 with a metadata document without the installer's SHA-256, so the
//     download happens while OBS is down (as unsigned builds update).
// The downtime runs from the end of the OBS the service stopped to the start
// of the one it starts again. bench/watch/prepare_update_downtime.sh
// publishes the CDN first (scripts/bench.sh runs it).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/http_test_server.h"
#include "common/service_control.h"
#include "common/staged_installers.h"
#include "common/temp_dir.h"
#include "common/test_config.h"
#include "common/unique_handle.h"
#include "common/wine_path.h"
#include "process/fake_obs_process.h"
#include "update/file_hash.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path Published = WinePathOf(DOWNTIME_DIR);
const char InstallerTarget[] = "/obsplugin/installers/plugin-7.exe";
const char PublishTarget[] = "/obsplugin/meta_publish.json";
const char MetadataTarget[] = "/obsplugin/meta/rev7_30.1.2.json";
const char EarlierMetadataTarget[] = "/obsplugin/meta/rev6_30.1.2.json";
const char PrestagingDone[] = "Prestaging check done for ";
// A home connection of 40 Mbit/s.
constexpr uint64_t InstallerBytesPerSecond = 5 * 1000 * 1000;
// The user gives up on a launch that was not updated, and opens OBS again,
// at most this many times.
constexpr int MaxLaunches = 4;
constexpr int BareInstallRuns = 3;

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

// Ends every OBS from `exe`; once the service has checked that install for
// prestaging (and staged what the check asked for), returns.
bool CloseObs(const fs::path& exe) {
  const size_t checks = CountLogged(0, PrestagingDone);
  const bool anyRan = !RunningObs(exe).empty();
  return EndRunningObs(exe) &&
         (!anyRan || WaitUntil([&] { return CountLogged(0, PrestagingDone) > checks; }, 600s));
}

// Empties the service's folder of staged installers; false if something stays.
bool RemoveStagedInstallers() {
  const fs::path staged = fs::path(ServiceDataDirectory()) / StagedFolderName;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(staged, error)) fs::remove(entry.path(), error);
  return fs::is_empty(staged, error) && !error;
}

// The launch that got the update and its downtime; launches 0 on failure.
struct Update {
  int launches = 0;
  double downtime = 0;
};

// Launches OBS until the service updates it; a launch that is left running
// without the update (its installer not staged within the deadline) is
// closed and OBS opened again. The OBS the service started again is closed
// at the end.
Update UpdateByLaunches(const fs::path& obsExe) {
  for (int launch = 1; launch <= MaxLaunches; ++launch) {
    const size_t first = ServiceLogMessages().size();
    FakeObsProcess obs(obsExe);
    std::vector<ObsLaunch> restarted;
    bool left = false;
    const bool done = WaitUntil(
        [&] {
          restarted = OtherObs(obsExe, obs.processId());
          left = CountLogged(first, "The installer was not staged within ") > 0;
          return !restarted.empty() || left ||
                 CountLogged(first, "Staging the installer failed") > 0;
        },
        600s);
    if (!done || (restarted.empty() && !left)) return {};
    if (restarted.empty()) {
      if (!CloseObs(obsExe)) return {};
      continue;
    }
    UniqueKernelHandle again(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                         static_cast<DWORD>(restarted[0].processId)));
    const double downtime = Seconds(TimeOf(again.get(), false), TimeOf(obs.handle(), true));
    if (!CloseObs(obsExe)) return {};
    return {launch, downtime};
  }
  return {};
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

// What the CDN publishes, switched while the service runs.
struct Publication {
  std::mutex mutex;
  int rev = 6;
  bool pinned = true;
};

std::string Rollout(int rev) {
  return "{\"new_release_rev\":" + std::to_string(rev) +
         ",\"stable_release_rev\":" + std::to_string(rev) + ",\"chance_get_new\":100}";
}

}  // namespace

int main() {
  if (!fs::exists(Published / "cdn")) {
    std::printf("no CDN in %s: run bench/watch/prepare_update_downtime.sh first\n", DOWNTIME_DIR);
    return 1;
  }
  const std::string installer =
      ReadFileBytes(Published / "cdn" / "obsplugin" / "installers" / "plugin-7.exe");
  const nlohmann::json pinned =
      nlohmann::json::parse(ReadFileBytes(Published / "cdn" / (MetadataTarget + 1)));
  // The same release as an unsigned build takes it without the installer's
  // hash: the update then runs as it did before staging.
  nlohmann::json unpinned = pinned;
  unpinned.erase("installer_sha256");

  TempDir dir;
  const fs::path obsExe = PlaceFakeObs(dir.path(), L"obs-studio\\bin\\64bit\\obs64.exe");
  const fs::path pluginFolder = dir / L"obs-studio\\obs-plugins\\64bit";
  fs::create_directories(pluginFolder);
  const auto makeStale = [&] { WriteFileBytes(pluginFolder / "obs-browser.dll", "stale"); };
  makeStale();
  // Release 6: the files as they are now.
  nlohmann::json earlier = pinned;
  earlier["files"] = nlohmann::json::array(
      {{{"file", "obs-browser.dll"},
        {"hash", GetFileHash((pluginFolder / "obs-browser.dll").wstring())}}});

  Publication publication;
  HttpTestServer cdn(
      [&](const ReceivedRequest& request) {
        std::lock_guard<std::mutex> lock(publication.mutex);
        if (request.target == InstallerTarget) {
          Reply reply = Reply::WithBody(200, installer);
          reply.bytesPerSecond = InstallerBytesPerSecond;
          return reply;
        }
        if (request.target == PublishTarget) return Reply::WithBody(200, Rollout(publication.rev));
        if (request.target == EarlierMetadataTarget) return Reply::WithBody(200, earlier.dump());
        if (request.target == MetadataTarget) {
          return Reply::WithBody(200, (publication.pinned ? pinned : unpinned).dump());
        }
        fs::path file = Published / "cdn" / fs::path(request.target.substr(1));
        std::error_code error;
        if (request.target.find("..") != std::string::npos || !fs::is_regular_file(file, error)) {
          return Reply::WithBody(404, "not found");
        }
        return Reply::WithBody(200, ReadFileBytes(file));
      },
      TestCdnPort);
  const auto publish = [&](int rev, bool pin) {
    std::lock_guard<std::mutex> lock(publication.mutex);
    publication.rev = rev;
    publication.pinned = pin;
  };

  const fs::path serviceFolder = dir / L"Lumenfeld Service";
  fs::create_directories(serviceFolder);
  for (const char* program :
       {SERVICE_EXE_PATH, DOWNLOADER_EXE_PATH, TO_FRONT_EXE_PATH, USER_LAUNCH_EXE_PATH}) {
    fs::path source = WinePathOf(program);
    fs::copy_file(source, serviceFolder / source.filename());
  }
  ClearServiceDataDirectory();
  fs::create_directories(ServiceDataDirectory());
  WriteFileBytes(fs::path(ServiceDataDirectory()) / "roll.txt", "1");
  RegisteredService service(L"Lumenfeld Browser Service",
                            (serviceFolder / "LumenfeldBrowserService.exe").wstring());
  if (!service.valid() || !service.Start() || !service.WaitForState(SERVICE_RUNNING, 30s) ||
      !WaitUntil([] { return CountLogged(0, PrestagingDone) > 0; }, 120s)) {
    std::printf("the service did not start, GetLastError = %lu\n",
                static_cast<unsigned long>(GetLastError()));
    return 1;
  }

  // 1. Release 7 published while an OBS whose files match release 6 runs,
  // then OBS closed: the service stages the installer; then the first stale
  // launch.
  Update prestaged;
  {
    const size_t first = ServiceLogMessages().size();
    FakeObsProcess running(obsExe);
    const bool seen =
        WaitUntil([&] { return CountLogged(first, "needsUpdate = 0 for ") > 0; }, 60s);
    publish(7, true);
    if (seen && CloseObs(obsExe) && CountLogged(first, "Staged the installer, ") == 1) {
      prestaged = UpdateByLaunches(obsExe);
    }
  }
  // 2. Release 7 published while OBS is closed (release 6 before it, which
  // the stale files match again): no check comes before the first launch.
  // The service keeps the installer of the release it installed in 1, so
  // it goes first, or this launch would find it staged.
  if (!RemoveStagedInstallers()) {
    std::printf("the installers staged in 1 could not be removed\n");
    return 1;
  }
  publish(6, true);
  makeStale();
  publish(7, true);
  const Update deferred = UpdateByLaunches(obsExe);
  // 3. The same without the installer's hash.
  publish(6, true);
  makeStale();
  publish(7, false);
  const Update unstaged = UpdateByLaunches(obsExe);

  SERVICE_STATUS stopping{};
  service.Control(SERVICE_CONTROL_STOP, &stopping);
  service.WaitForState(SERVICE_STOPPED, 60s);
  if (prestaged.launches == 0 || deferred.launches == 0 || unstaged.launches == 0) {
    std::printf("OBS was not updated (launches: prestaged %d, not prestaged %d, not staged %d)\n",
                prestaged.launches, deferred.launches, unstaged.launches);
    return 1;
  }

  // The same silent install alone, of the installer already on disk: the
  // median of a few, since one install varies by a second on a busy machine.
  const fs::path bareFolder = dir / L"bare\\obs-plugins\\64bit";
  fs::create_directories(bareFolder);
  const fs::path copy = dir / L"bare\\plugin-7.exe";
  WriteFileBytes(copy, installer);
  std::vector<double> bareRuns;
  for (int run = 0; run < BareInstallRuns; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const long installed =
        RunAndWait(QuotedCommandLine(copy.wstring(), L"/S /D=" + bareFolder.wstring()));
    if (installed != 0) {
      std::printf("the bare install failed with exit code %ld\n", installed);
      return 1;
    }
    bareRuns.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(bareRuns.begin(), bareRuns.end());
  const double bare = bareRuns[bareRuns.size() / 2];

  std::printf("plugin installer: %.1f MB, served at %.1f MB/s (%.1f s to download)\n",
              static_cast<double>(installer.size()) / 1e6,
              static_cast<double>(InstallerBytesPerSecond) / 1e6,
              static_cast<double>(installer.size()) / static_cast<double>(InstallerBytesPerSecond));
  std::printf("%-62s %22s %6.2f s (median of %d: %.2f to %.2f s)\n",
              "the silent install alone:", "", bare, BareInstallRuns, bareRuns.front(),
              bareRuns.back());
  const auto row = [&](const char* what, const Update& update, const char* note) {
    std::printf("%-62s launch %d, OBS down %6.2f s  ratio %5.2f%s\n", what, update.launches,
                update.downtime, update.downtime / bare, note);
  };
  row("first stale launch after a release, prestaged as OBS closed:", prestaged,
      " (target <= 1.10)");
  row("the same without prestaging (that launch stages it):", deferred, "");
  row("installer downloaded while OBS is down (no installer_sha256):", unstaged, "");
  return 0;
}
