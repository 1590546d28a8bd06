#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "fs/path_checks.h"
#include "process/obs_launch.h"
#include "session/run_gui_process.h"
#include "update/file_hash.h"
#include "watch/install_check.h"

class LaunchFollowUp;
class PluginMetadataResolver;
class ServiceLog;
class WorkerState;

// From this plugin revision on, the downloader may be given the OBS root
// instead of the plugin folder (when OBS has the core browser layout).
inline constexpr int32_t CoreLayoutRevision = 138;

// The steps of a launch check that reach outside this process: telling whose
// OBS it is, hashing the installed plugin files, reading the service's own
// executable path (to find the downloader and the tools beside it), finding
// a staged installer and seeing whether OBS still runs, and the install on
// the user's desktop.
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
  // As FindStagedInstaller in watch/installer_staging.h.
  virtual bool FindStagedInstaller(const std::wstring& stagedFolder, const std::string& sha256,
                                   std::wstring& path);
  // Opens the process of `launch`, which the watch loop has just listed, by
  // its id, to see later whether it has ended; empty when it has already.
  virtual UniqueKernelHandle OpenObs(const ObsLaunch& launch);
  // True while `process` (from OpenObs for `launch`) runs.
  virtual bool ObsStillRuns(const ObsLaunch& launch, HANDLE process);
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

 private:
  const std::atomic<bool>* running_;
};

// An update a launch check decided on: the launch, the user its OBS runs as,
// the release and the folders of that OBS.
struct PlannedUpdate {
  ObsLaunch launch;
  std::vector<unsigned char> obsUser;
  PluginMetadata metadata;
  ObsFolders folders;
};

// Runs the downloader/installer for `update` on the user's desktop (OBS
// stopped and started again around it), with the tokens of its OBS's user
// only, and with `stagedPath` (when not empty) as the staged installer for
// the downloader to run: ` /sha256='<hex>' /staged='<file>'` follow the
// three arguments. Nothing runs when the service's own path cannot be read
// or a folder or file the installer may write to leads elsewhere through a
// link (checked now, just before the run). After total success the staged
// file is deleted, the revision recorded (and the roll re-drawn when it
// changed) and "Release %d is installed for %s" logged; otherwise
// "RunGuiProcess for the downloader/installer did not finish in total
// success.". Returns the OBS started again (processId 0 when none).
ObsLaunch RunPlannedUpdate(WorkerState& worker, UpdateRunner& runner, ServiceLog& log,
                           const PlannedUpdate& update, const std::wstring& stagedPath);

// Deals with one OBS launch that the watch loop has just seen, at most a few
// seconds after it started: identifies the plugin release that belongs with
// it (remembering the install for prestaging, see known_installs.h), hashes
// the installed plugin files and, at the first that differs, hands the
// update to `followUp` (see LaunchFollowUp::Begin): it runs at once when
// its installer is not pinned by a SHA-256 or is staged already, and
// otherwise once the staging thread has staged it, within
// StagingDeadlineSeconds.
//
// Only the active user's own OBS is acted on: a launch of another session
// or another user, like one from a path that is not on a local drive, is
// only logged and recorded, before anything is fetched or opened.
//
// Records the launch in `obsProcessHistory` on every path except one (the
// executable cannot be read for identification), which leaves it for the
// next pass of the loop; an OBS that an update started again is recorded
// too, so it is never taken for a new launch. Every step is written to the
// service log. Blocks while an update runs at once, never for a download.
void HandleFreshLaunch(WorkerState* worker, const ObsLaunch& launch,
                       ObsProcessHistory& obsProcessHistory, LaunchFollowUp& followUp);

// HandleFreshLaunch with the resolver and the runner given.
void HandleFreshLaunch(WorkerState& worker, PluginMetadataResolver& resolver, UpdateRunner& runner,
                       const ObsLaunch& launch, ObsProcessHistory& obsProcessHistory,
                       LaunchFollowUp& followUp);
