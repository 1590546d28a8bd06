#include "watch/launch_handler.h"

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "common/text.h"
#include "fs/path_checks.h"
#include "log/service_log.h"
#include "process/windows_functions.h"
#include "session/obs_owner.h"
#include "session/session_api.h"
#include "state/state_directory.h"
#include "state/worker_state.h"
#include "update/plugin_metadata_resolver.h"
#include "watch/install_rights.h"
#include "watch/watch_loop.h"

namespace fs = std::filesystem;

namespace {

// The end of every OBS executable path whose plugin files are compared.
constexpr wchar_t ExecutableTail[] = L"\\bin\\64bit\\obs64.exe";
constexpr size_t ExecutableTailLength = sizeof ExecutableTail / sizeof ExecutableTail[0] - 1;
constexpr wchar_t PluginFolderTail[] = L"\\obs-plugins\\64bit";
// Metadata file names are joined to their folder with "/", not the native
// separator: the log shows them so, and the downloader sees the same paths.
constexpr wchar_t MetadataFileSeparator[] = L"/";
constexpr wchar_t DownloaderFileName[] = L"LumenfeldPluginDownloader.exe";
constexpr wchar_t ToFrontFileName[] = L"InstallerToFront.exe";
constexpr wchar_t UserLaunchFileName[] = L"UserLaunch.exe";

// The folders of one OBS installation, derived from its executable path;
// both empty when the path is too short to have an OBS root.
struct ObsFolders {
  fs::path pluginFolder;
  fs::path coreBrowserFolder;
};

ObsFolders DeriveObsFolders(const std::wstring& filePath) {
  const fs::path binFolder = fs::path(filePath).parent_path();
  if (binFolder.empty()) return {};
  const fs::path bin = binFolder.parent_path();
  if (bin.empty() || !bin.has_parent_path()) return {};
  const fs::path root = bin.parent_path();
  return {root / L"obs-plugins" / L"64bit", root / L"core" / L"obs-browser"};
}

// True when `path` exists and is a folder. Any failure of the status query
// other than "not found" (access denied, say) counts as no: the launch is
// then handled as if the folder were absent, and the loop goes on with the
// other launches. The failure is logged.
bool IsExistingDirectory(ServiceLog& log, const fs::path& path) {
  if (path.empty()) return false;
  std::error_code error;
  bool found = fs::exists(path, error);
  if (!error && found) found = fs::is_directory(path, error);
  if (error) {
    log.Print("Unable to query %s, error = %d", ToUtf8(path.wstring()).c_str(), error.value());
    return false;
  }
  return found;
}

// Compares the listed plugin files with the disk, in list order, up to the
// first that differs; logs that one. A link (or a file with another hard
// link) differs: it is named as such, and what it leads to is never read.
// True when one differs.
bool PluginFilesDiffer(ServiceLog& log, UpdateRunner& runner, const PluginMetadata& metadata,
                       const ObsFolders& folders) {
  for (const PluginFile& entry : metadata.files) {
    const std::wstring file = FromUtf8(entry.file);
    std::wstring candidate = folders.pluginFolder.wstring() + MetadataFileSeparator + file;
    PathLink link = PathLink::None;
    std::string hash = runner.HashFile(candidate, &link);
    if (hash.empty() && link == PathLink::None) {
      candidate = folders.coreBrowserFolder.wstring() + MetadataFileSeparator + file;
      hash = runner.HashFile(candidate, &link);
    }
    if (link != PathLink::None) {
      log.Print("filePath '%s' is not hashed: %s, which doesn't match needed %s - need to update",
                ToUtf8(candidate).c_str(), PathLinkText(link), entry.hash.c_str());
      return true;
    }
    // Exact comparison: a hash listed in lower case never matches.
    if (!hash.empty() && hash == entry.hash) continue;
    log.Print("filePath '%s' hash = '%s', which doesn't match needed %s - need to update",
              ToUtf8(candidate).c_str(), hash.c_str(), entry.hash.c_str());
    return true;
  }
  return false;
}

// True when `filePath` ends with "\bin\64bit\obs64.exe" (case kept): the
// OBS root is then the text before it.
bool HasExecutableTail(const std::wstring& filePath) {
  return filePath.size() >= ExecutableTailLength &&
         filePath.compare(filePath.size() - ExecutableTailLength, ExecutableTailLength,
                          ExecutableTail) == 0;
}

// The OBS root of a `filePath` that HasExecutableTail: the text before it.
std::wstring ObsRootText(const std::wstring& filePath) {
  return filePath.substr(0, filePath.size() - ExecutableTailLength);
}

// The folder the downloader installs into: the plugin folder, or the OBS
// root for a revision that knows the core browser layout when OBS has it.
std::wstring PluginFolderArgument(ServiceLog& log, const std::wstring& filePath, int32_t rev,
                                  const ObsFolders& folders) {
  if (rev < CoreLayoutRevision) return ObsRootText(filePath) + PluginFolderTail;
  if (IsExistingDirectory(log, folders.coreBrowserFolder)) {
    return folders.coreBrowserFolder.parent_path().parent_path().wstring();
  }
  return folders.pluginFolder.wstring();
}

// True when every place the installer may write leads where its text says:
// the folder it is given; the core\obs-browser folder in it, where an
// installer that takes the folder for an OBS root puts the files (and where
// installers published before that test put them whenever it exists); the
// plugin folder when it is given the OBS root; and each listed file in the
// first two. The installer writes there elevated: a junction or link on the
// way, which the user who owns this OBS copy may have made, would send its
// files anywhere. Logs why it is false.
bool InstallFolderLeadsToItself(ServiceLog& log, const std::wstring& pluginFolder,
                                const ObsFolders& folders, const PluginMetadata& metadata) {
  const std::wstring redirected = (fs::path(pluginFolder) / L"core" / L"obs-browser").wstring();
  std::vector<std::wstring> checked{pluginFolder, redirected};
  if (pluginFolder != folders.pluginFolder.wstring()) {
    checked.push_back(folders.pluginFolder.wstring());
  }
  const size_t folderCount = checked.size();
  for (const std::wstring& target : {pluginFolder, redirected}) {
    for (const PluginFile& entry : metadata.files) {
      checked.push_back(target + L"\\" + FromUtf8(entry.file));
    }
  }
  for (size_t i = 0; i < checked.size(); ++i) {
    const char* what = i < folderCount ? "plugin folder" : "plugin file";
    // A file that is itself a link is named as one; where it leads is not
    // looked up (as LocalSystem that would tell of files its maker may not see).
    const PathLink link = i < folderCount ? PathLink::None : FindLink(checked[i]);
    if (link != PathLink::None && link != PathLink::Unknown) {
      log.Print("Not running the update: the %s %s: %s", what, ToUtf8(checked[i]).c_str(),
                PathLinkText(link));
      return false;
    }
    std::wstring finalPath;
    if (LeadsToItself(checked[i], finalPath)) continue;
    const DWORD error = GetLastError();
    if (finalPath.empty()) {
      log.Print("Not running the update: cannot resolve the %s %s, GetLastError = %d", what,
                ToUtf8(checked[i]).c_str(), static_cast<int>(error));
    } else {
      log.Print("Not running the update: the %s %s leads to %s", what, ToUtf8(checked[i]).c_str(),
                ToUtf8(finalPath).c_str());
    }
    return false;
  }
  return true;
}

// Stages the pinned installer of `metadata` for the downloader to run. True
// when the update may go on now, with `stagedPath` naming the file (empty
// when every name was held, see StageInstaller); false,
// logged, when the staging failed, finished after the deadline or outlived
// the OBS it was for: OBS is then left alone.
bool StageForUpdate(WorkerState& worker, UpdateRunner& runner, ServiceLog& log,
                    const ObsLaunch& launch, const PluginMetadata& metadata,
                    std::chrono::steady_clock::time_point seen, std::wstring& stagedPath) {
  if (worker.GetStateDirectory().empty()) {
    log.Print("Staging the installer failed: there is no state folder");
    return false;
  }
  StagingRequest request;
  request.stagedFolder = StagedFolderOf(worker.GetStateDirectory());
  request.url = metadata.installer;
  request.sha256 = metadata.installerSha256;
  if (!runner.StageInstaller(request, stagedPath)) return false;
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - seen);
  if (took > std::chrono::seconds(StagingDeadlineSeconds)) {
    log.Print(
        "The installer was staged %d ms after the launch was seen, later than %d s: OBS is left "
        "running, the next launch installs from %s",
        static_cast<int>(took.count()), static_cast<int>(StagingDeadlineSeconds),
        ToUtf8(stagedPath).c_str());
    return false;
  }
  if (!runner.ObsStillRuns(launch)) {
    log.Print("OBS ended while the installer was staged: the next launch installs from %s",
              ToUtf8(stagedPath).c_str());
    return false;
  }
  return true;
}

// Runs the downloader/installer for `metadata`, with the tokens of
// `obsUser` only, and records the outcome: the revision (and a fresh roll)
// after total success, the restarted OBS in any case.
void RunUpdate(WorkerState& worker, UpdateRunner& runner, ServiceLog& log, const ObsLaunch& launch,
               const std::vector<unsigned char>& obsUser, const PluginMetadata& metadata,
               const ObsFolders& folders, std::chrono::steady_clock::time_point seen,
               ObsProcessHistory& obsProcessHistory) {
  std::wstring servicePath;
  if (!runner.GetServicePath(servicePath)) return;
  const std::wstring pluginFolder =
      PluginFolderArgument(log, launch.filePath, metadata.rev, folders);
  if (!InstallFolderLeadsToItself(log, pluginFolder, folders, metadata)) return;
  const bool withoutElevation = InstallsWithoutElevation(log, ObsRootText(launch.filePath));
  const fs::path serviceFolder = fs::path(servicePath).parent_path();
  std::wstring arguments = L"/url='" + FromUtf8(metadata.installer) + L"' /pluginFolder='" +
                           pluginFolder + L"' /pathToObs64='" + launch.filePath + L"'";
  if (withoutElevation) arguments += L" /runAs='invoker'";
  // The downloader runs the installer only when it has this hash, and runs
  // the staged file when it passes its own checks.
  std::wstring stagedPath;
  if (!metadata.installerSha256.empty()) {
    if (!StageForUpdate(worker, runner, log, launch, metadata, seen, stagedPath)) return;
    arguments += L" /sha256='" + FromUtf8(metadata.installerSha256) + L"'";
    if (!stagedPath.empty()) arguments += L" /staged='" + stagedPath + L"'";
  }

  GuiProcessRequest request;
  request.installerPath = (serviceFolder / DownloaderFileName).wstring();
  request.installerArguments = std::move(arguments);
  request.userLaunchPath = (serviceFolder / UserLaunchFileName).wstring();
  request.toFrontPath = (serviceFolder / ToFrontFileName).wstring();
  request.obsLaunch = launch;
  request.obsUser = obsUser;
  request.withoutElevation = withoutElevation;
  ObsLaunch restartedObs;
  const bool installed = runner.RunGuiProcess(request, restartedObs);
  if (!installed) {
    log.Print("RunGuiProcess for the downloader/installer did not finish in total success.");
  } else {
    if (!stagedPath.empty()) RemoveStagedInstaller(log, stagedPath);
    if (worker.ReadLastRev() != metadata.rev) {
      worker.Reroll();
      worker.WriteLastRev(metadata.rev);
    }
  }
  if (restartedObs.processId != 0) obsProcessHistory.insert(KeyOf(restartedObs));
}

}  // namespace

bool SystemUpdateRunner::IsActiveUsersObs(const ObsLaunch& launch,
                                          std::vector<unsigned char>& user) {
  SystemSessionApi api;
  return ::IsActiveUsersObs(api, ServiceLog::Instance(), launch, &user);
}

bool SystemUpdateRunner::GetServicePath(std::wstring& path) {
  return WindowsFunctions::GetProcessFilePath(GetCurrentProcessId(), path);
}

bool SystemUpdateRunner::RunGuiProcess(const GuiProcessRequest& request, ObsLaunch& restartedObs) {
  GuiProcessRequest stoppable = request;
  stoppable.stop.running = running_;
  return ::RunGuiProcess(stoppable, restartedObs);
}

bool UpdateRunner::StageInstaller(const StagingRequest& request, std::wstring& stagedPath) {
  return ::StageInstaller(ServiceLog::Instance(), request, stagedPath);
}

bool UpdateRunner::ObsStillRuns(const ObsLaunch& launch) {
  return WindowsFunctions::IsRunning(launch);
}

bool SystemUpdateRunner::StageInstaller(const StagingRequest& request, std::wstring& stagedPath) {
  StagingRequest stoppable = request;
  stoppable.running = running_;
  return UpdateRunner::StageInstaller(stoppable, stagedPath);
}

void HandleFreshLaunch(WorkerState* worker, const ObsLaunch& launch,
                       ObsProcessHistory& obsProcessHistory) {
  SystemUpdateRunner runner(&worker->running);
  PluginMetadataResolver resolver(*worker);
  HandleFreshLaunch(*worker, resolver, runner, launch, obsProcessHistory);
}

void HandleFreshLaunch(WorkerState& worker, PluginMetadataResolver& resolver, UpdateRunner& runner,
                       const ObsLaunch& launch, ObsProcessHistory& obsProcessHistory) {
  // The staging deadline counts from here.
  const auto seen = std::chrono::steady_clock::now();
  ServiceLog& log = ServiceLog::Instance();
  // Another user's OBS would have the service stop, install for and start
  // again, with this user's token, whatever that user put in its folder.
  std::vector<unsigned char> obsUser;
  if (!runner.IsActiveUsersObs(launch, obsUser)) {
    obsProcessHistory.insert(KeyOf(launch));
    return;
  }
  // Opening a file on another host would make this account authenticate to
  // it, where the login can be relayed.
  if (!IsOnLocalDrive(launch.filePath)) {
    log.Print("Not checking %s: not on a local drive", ToUtf8(launch.filePath).c_str());
    obsProcessHistory.insert(KeyOf(launch));
    return;
  }
  PluginMetadata metadata;
  bool unreadable = false;
  resolver.ResolveForObsExe(launch.filePath, metadata, unreadable);
  // Left for the next pass of the loop, which sees the launch again.
  if (unreadable) return;

  const ObsFolders folders = DeriveObsFolders(launch.filePath);
  if (metadata.files.empty() || metadata.installer.empty()) {
    log.Print("Failed to get valid LF info on that exe, checking if it is indeed an OBS folder.");
    if (!IsExistingDirectory(log, folders.pluginFolder) &&
        !IsExistingDirectory(log, folders.coreBrowserFolder)) {
      log.Print("It's not an OBS folder");
      obsProcessHistory.insert(KeyOf(launch));
      return;
    }
    // Same record: the revision the rollout chose stays, files are appended.
    resolver.ResolveLatest(metadata);
    if (metadata.installer.empty()) {
      log.Print(
          "It's an OBS folder, but there was trouble determine latest installer to use for the "
          "plugin");
      obsProcessHistory.insert(KeyOf(launch));
      return;
    }
    log.Print("It's an OBS folder and we're going to just use the latest version for it");
  }

  const bool needsUpdate =
      HasExecutableTail(launch.filePath) && PluginFilesDiffer(log, runner, metadata, folders);
  log.Print("needsUpdate = %d for %s", needsUpdate ? 1 : 0, ToUtf8(launch.filePath).c_str());
  if (needsUpdate) {
    RunUpdate(worker, runner, log, launch, obsUser, metadata, folders, seen, obsProcessHistory);
  }
  AddToHistory(log, launch, obsProcessHistory);
}
