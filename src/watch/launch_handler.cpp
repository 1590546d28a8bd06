#include "watch/launch_handler.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "fs/path_checks.h"
#include "log/event_log.h"
#include "log/service_log.h"
#include "process/windows_functions.h"
#include "session/obs_owner.h"
#include "session/session_api.h"
#include "state/kept_releases.h"
#include "state/known_installs.h"
#include "state/state_directory.h"
#include "state/worker_state.h"
#include "update/plugin_metadata_resolver.h"
#include "watch/install_rights.h"
#include "watch/installer_staging.h"
#include "watch/launch_follow_up.h"
#include "watch/watch_loop.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t PluginFolderTail[] = L"\\obs-plugins\\64bit";
constexpr wchar_t DownloaderFileName[] = L"LumenfeldPluginDownloader.exe";
constexpr wchar_t ToFrontFileName[] = L"InstallerToFront.exe";
constexpr wchar_t UserLaunchFileName[] = L"UserLaunch.exe";

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
// first two. The installer writes there with the rights the update lends
// (elevated, unless the folder lets users change it): a junction or link on
// the way, which the user who owns this OBS copy may have made, would send
// its files anywhere. Logs why it is false.
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

// Keeps the install of an examined launch for prestaging, unless it is no
// OBS folder or its obs64.exe was not hashed. Under the worker's stateLock.
void RememberInstall(WorkerState& worker, const ObsLaunch& launch,
                     const InstallIdentity& identity) {
  if (identity.exeHash.empty() || identity.outcome == InstallIdentity::Outcome::NotObsFolder ||
      worker.GetStateDirectory().empty()) {
    return;
  }
  KnownInstall seen;
  seen.lastSeen = static_cast<int64_t>(std::time(nullptr));
  seen.md5 = identity.exeHash;
  seen.path = ToUtf8(launch.filePath);
  RememberKnownInstall(fs::path(worker.GetStateDirectory()), seen);
}

// Records what a run with total success installed in the releases kept
// for its build (see kept_releases.h): an update's installer is kept with
// the one it replaced, a revert's release is the one installed again; the
// installers no longer kept for any build leave the staged folder. Returns
// the SHA-256s kept from now on; nullopt, logged, when the record cannot be
// read or written (what it keeps is then unknown).
std::optional<std::set<std::string>> KeepReleases(WorkerState& worker, ServiceLog& log,
                                                  const PlannedUpdate& update, bool unelevated) {
  const int rev = static_cast<int>(update.metadata.rev);
  if (worker.GetStateDirectory().empty()) return std::nullopt;
  const fs::path state(worker.GetStateDirectory());
  std::string problem;
  std::optional<KeptReleases> releases = ReadKeptReleases(state, problem);
  if (!releases) {
    log.Print("Not keeping the installer of release %d: %s", rev, problem.c_str());
    return std::nullopt;
  }
  const std::set<std::string> before = KeptInstallerSha256s(*releases);
  // A build that was not hashed cannot be told again: nothing is kept for it.
  if (update.obsBuild.empty()) return before;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (update.revertOf != 0) {
    RecordRevert(*releases, update.obsBuild, now);
  } else {
    KeptRelease release;
    release.rev = update.metadata.rev;
    release.sha256 = update.metadata.installerSha256;
    release.url = update.metadata.installer;
    for (const PluginFile& file : update.metadata.files) release.files.push_back(file.file);
    release.unelevated = unelevated;
    RecordInstall(*releases, update.obsBuild, ToUtf8(update.launch.filePath), release, now);
  }
  if (!WriteKeptReleases(state, *releases, problem)) {
    log.Print("Not keeping the installer of release %d: %s", rev, problem.c_str());
    return std::nullopt;
  }
  std::set<std::string> after = KeptInstallerSha256s(*releases);
  std::vector<std::string> gone;
  std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                      std::back_inserter(gone));
  RemoveStagedInstallers(log, StagedFolderOf(worker.GetStateDirectory()), gone);
  return after;
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

bool SystemUpdateRunner::RunGuiProcess(const GuiProcessRequest& request, ObsLaunch& restartedObs,
                                       UniqueKernelHandle& restartedProcess) {
  GuiProcessRequest stoppable = request;
  stoppable.stop.running = running_;
  return ::RunGuiProcess(stoppable, restartedObs, &restartedProcess);
}

bool UpdateRunner::FindStagedInstaller(const std::wstring& stagedFolder, const std::string& sha256,
                                       std::wstring& path) {
  return ::FindStagedInstaller(ServiceLog::Instance(), stagedFolder, sha256, path);
}

UniqueKernelHandle UpdateRunner::OpenObs(const ObsLaunch& launch) {
  // By its id alone: the creation time Wine lists for a process just
  // created can differ from the one it gives a moment later, and an id the
  // loop has only just listed cannot have passed to another process yet.
  return UniqueKernelHandle(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                        static_cast<DWORD>(launch.processId)));
}

bool UpdateRunner::ObsStillRuns(const ObsLaunch&, HANDLE process) {
  return process != nullptr && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

UpdateRunner::ObsRun UpdateRunner::RunOf(const ObsLaunch& launch, HANDLE process) {
  ObsRun run;
  DWORD exitCode = STILL_ACTIVE;
  if (process != nullptr && GetExitCodeProcess(process, &exitCode)) run.exitCode = exitCode;
  FILETIME creation{}, exit{}, kernel{}, user{};
  const auto ticks = [](const FILETIME& time) {
    return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                                time.dwLowDateTime);
  };
  if (process != nullptr && GetProcessTimes(process, &creation, &exit, &kernel, &user)) {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    run.seconds = ((ended ? ticks(exit) : ticks(now)) - ticks(creation)) / 10000000;
  } else {
    // Whole seconds from the listed start: the times cannot be read.
    run.seconds = static_cast<int64_t>(std::time(nullptr)) - launch.processStartDate;
  }
  return run;
}

bool UpdateRunner::ObsUserOf(HANDLE process, std::vector<unsigned char>& user) {
  SystemSessionApi api;
  UniqueKernelHandle token;
  return process != nullptr && api.ProcessToken(process, token.put()) &&
         api.TokenUserSid(token.get(), user);
}

void UpdateRunner::ReportToEventLog(const std::wstring& message) {
  // The service log has the same line: a failure here loses nothing else.
  WriteServiceEvent(EventKind::Warning, message);
}

UpdateOutcome RunPlannedUpdate(WorkerState& worker, UpdateRunner& runner, ServiceLog& log,
                               const PlannedUpdate& update, const std::wstring& stagedPath) {
  const ObsLaunch& launch = update.launch;
  const PluginMetadata& metadata = update.metadata;
  UpdateOutcome outcome;
  std::wstring servicePath;
  if (!runner.GetServicePath(servicePath)) return outcome;
  const ObsFolders folders = DeriveObsFolders(launch.filePath);
  const std::wstring pluginFolder =
      PluginFolderArgument(log, launch.filePath, metadata.rev, folders);
  if (!InstallFolderLeadsToItself(log, pluginFolder, folders, metadata)) return outcome;
  const bool withoutElevation =
      InstallsWithoutElevation(log, ObsRootText(launch.filePath)) || update.unelevated;
  const fs::path serviceFolder = fs::path(servicePath).parent_path();
  std::wstring arguments = L"/url='" + FromUtf8(metadata.installer) + L"' /pluginFolder='" +
                           pluginFolder + L"' /pathToObs64='" + launch.filePath + L"'";
  if (withoutElevation) arguments += L" /runAs='invoker'";
  // The downloader runs the installer only when it has this hash, and runs
  // the staged file when it passes its own checks.
  if (!metadata.installerSha256.empty()) {
    arguments += L" /sha256='" + FromUtf8(metadata.installerSha256) + L"'";
    if (!stagedPath.empty()) arguments += L" /staged='" + stagedPath + L"'";
  }

  GuiProcessRequest request;
  request.installerPath = (serviceFolder / DownloaderFileName).wstring();
  request.installerArguments = std::move(arguments);
  request.userLaunchPath = (serviceFolder / UserLaunchFileName).wstring();
  request.toFrontPath = (serviceFolder / ToFrontFileName).wstring();
  request.obsLaunch = launch;
  request.obsUser = update.obsUser;
  request.withoutElevation = withoutElevation;
  if (!runner.RunGuiProcess(request, outcome.restarted, outcome.restartedProcess)) {
    log.Print("RunGuiProcess for the downloader/installer did not finish in total success.");
    return outcome;
  }
  const std::optional<std::set<std::string>> kept =
      KeepReleases(worker, log, update, withoutElevation);
  // Kept, the file is the previous release's installer after the next update.
  if (!stagedPath.empty() && kept && kept->count(metadata.installerSha256) == 0) {
    RemoveStagedInstaller(log, stagedPath);
  }
  {
    std::lock_guard<std::mutex> lock(worker.stateLock);
    if (worker.ReadLastRev() != metadata.rev) {
      worker.Reroll();
      worker.WriteLastRev(metadata.rev);
    }
  }
  const std::string path = ToUtf8(launch.filePath);
  if (update.revertOf == 0) {
    log.Print("Release %d is installed for %s", static_cast<int>(metadata.rev), path.c_str());
    return outcome;
  }
  const std::string reverted = "Reverted the plugin of " + path + " to release " +
                               std::to_string(metadata.rev) + ": release " +
                               std::to_string(update.revertOf) + " made OBS crash twice at start";
  log.Print("%s", reverted.c_str());
  runner.ReportToEventLog(FromUtf8(reverted));
  return outcome;
}

void HandleFreshLaunch(WorkerState* worker, const ObsLaunch& launch,
                       ObsProcessHistory& obsProcessHistory, LaunchFollowUp& followUp) {
  SystemUpdateRunner runner(&worker->running);
  HandleFreshLaunch(*worker, {}, runner, launch, obsProcessHistory, followUp);
}

void HandleFreshLaunch(WorkerState& worker, const ResolverFactory& makeResolver,
                       UpdateRunner& runner, const ObsLaunch& launch,
                       ObsProcessHistory& obsProcessHistory, LaunchFollowUp& followUp) {
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
  InstallIdentity identity;
  {
    std::lock_guard<std::mutex> lock(worker.stateLock);
    // Its documents are judged by the key set in force now.
    identity = IdentifyInstall(log, *MakeResolver(worker, makeResolver), launch.filePath, false);
    RememberInstall(worker, launch, identity);
  }
  switch (identity.outcome) {
    case InstallIdentity::Outcome::Unreadable:
      return;  // left for the next pass of the loop, which sees the launch again
    case InstallIdentity::Outcome::NotObsFolder:
    case InstallIdentity::Outcome::NoInstaller:
      obsProcessHistory.insert(KeyOf(launch));
      return;
    case InstallIdentity::Outcome::Identified:
      break;
  }
  if (!MayInstall(log, worker.GetStateDirectory(), identity, launch.filePath, true)) {
    AddToHistory(log, launch, obsProcessHistory);
    return;
  }

  const bool needsUpdate =
      HasExecutableTail(launch.filePath) &&
      PluginFilesDiffer(
          log,
          [&](const std::wstring& path, PathLink* link) { return runner.HashFile(path, link); },
          identity.metadata, identity.folders, false);
  log.Print("needsUpdate = %d for %s", needsUpdate ? 1 : 0, ToUtf8(launch.filePath).c_str());
  if (needsUpdate) {
    // The staging deadline counts from here: the documents and the hashes
    // are behind, only the wait for the installer is ahead.
    PlannedUpdate update{launch, obsUser, std::move(identity.metadata), identity.exeHash};
    followUp.Begin(worker, runner, log, update, obsProcessHistory,
                   std::chrono::steady_clock::now());
  }
  AddToHistory(log, launch, obsProcessHistory);
}
