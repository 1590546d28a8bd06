#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "fs/path_checks.h"
#include "process/obs_launch.h"
#include "session/run_gui_process.h"
#include "update/file_hash.h"
#include "watch/installer_staging.h"

class PluginMetadataResolver;
class ServiceLog;
class WorkerState;

// From this plugin revision on, the downloader may be given the OBS root
// instead of the plugin folder (when OBS has the core browser layout).
inline constexpr int32_t CoreLayoutRevision = 138;

// The steps of a launch check that reach outside this process: telling whose
// OBS it is, hashing the installed plugin files, reading the service's own
// executable path (to find the downloader and the tools beside it), staging
// the installer and seeing whether OBS still runs, and the install on the
// user's desktop.
class UpdateRunner {
 public:
  virtual ~UpdateRunner() = default;
  // As IsActiveUsersObs in session/obs_owner.h, which logs a refusal; on
  // true `user` is the user OBS runs as.
  virtual bool IsActiveUsersObs(const ObsLaunch& launch, std::vector<unsigned char>& user) = 0;
  // As GetFileHash in update/file_hash.h.
  virtual std::string HashFile(const std::wstring& path, PathLink* link) {
    return GetFileHash(path, link);
  }
  // The service's own executable path; false when it cannot be read.
  virtual bool GetServicePath(std::wstring& path) = 0;
  // As RunGuiProcess in session/run_gui_process.h.
  virtual bool RunGuiProcess(const GuiProcessRequest& request, ObsLaunch& restartedObs) = 0;
  // As StageInstaller in watch/installer_staging.h.
  virtual bool StageInstaller(const StagingRequest& request, std::wstring& stagedPath);
  // As WindowsFunctions::IsRunning in process/windows_functions.h.
  virtual bool ObsStillRuns(const ObsLaunch& launch);
};

// The service's runner: GetProcessFilePath of the current process and the
// real RunGuiProcess, which gives the installer a while to finish and then
// leaves it once `running` is cleared.
class SystemUpdateRunner : public UpdateRunner {
 public:
  explicit SystemUpdateRunner(const std::atomic<bool>* running) : running_(running) {}
  bool IsActiveUsersObs(const ObsLaunch& launch, std::vector<unsigned char>& user) override;
  bool GetServicePath(std::wstring& path) override;
  bool RunGuiProcess(const GuiProcessRequest& request, ObsLaunch& restartedObs) override;
  // Ends the download once `running` is cleared.
  bool StageInstaller(const StagingRequest& request, std::wstring& stagedPath) override;

 private:
  const std::atomic<bool>* running_;
};

// Deals with one OBS launch that the watch loop has just seen, at most a few
// seconds after it started: identifies the plugin release that belongs with
// it, hashes the installed plugin files and, at the first that differs, runs
// the downloader/installer in the user's session (OBS stopped and started
// again around it). After total success the installed revision is recorded
// and, when it changed, the roll re-drawn.
//
// When the metadata pins the installer by its SHA-256, the installer is
// staged first, while OBS still runs (see StageInstaller), and the
// downloader is told to run the staged file. OBS is then stopped only when
// the staging succeeded within StagingDeadlineSeconds of the call and OBS
// still runs; otherwise nothing else happens, and a staged installer waits
// for the next launch. The staged file is deleted once it is installed.
//
// Only the active user's own OBS is acted on: a launch of another session
// or another user, like one from a path that is not on a local drive, is
// only logged and recorded, before anything is fetched or opened. The update
// is not run when a folder or file the installer may write to leads
// elsewhere through a link.
//
// Records the launch in `obsProcessHistory` on every path except one (the
// executable cannot be read for identification), which leaves it for the
// next pass of the loop; the OBS that the update run started again is
// recorded too, so it is never taken for a new launch. Every step is written
// to the service log. Blocks until the installer has finished.
void HandleFreshLaunch(WorkerState* worker, const ObsLaunch& launch,
                       ObsProcessHistory& obsProcessHistory);

// HandleFreshLaunch with the resolver and the runner given.
void HandleFreshLaunch(WorkerState& worker, PluginMetadataResolver& resolver, UpdateRunner& runner,
                       const ObsLaunch& launch, ObsProcessHistory& obsProcessHistory);
