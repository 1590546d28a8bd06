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
// a staged installer, opening the OBS processes it watches and reading how
// long they ran, how they ended and whose they are, the install on the
// user's desktop, and the event-log entry of a revert.
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
  // As RunGuiProcess in session/run_gui_process.h, with the handle of the
  // OBS started again.
  virtual bool RunGuiProcess(const GuiProcessRequest& request, ObsLaunch& restartedObs,
                             UniqueKernelHandle& restartedProcess) = 0;
  // As FindStagedInstaller in watch/installer_staging.h.
  virtual bool FindStagedInstaller(const std::wstring& stagedFolder, const std::string& sha256,
                                   std::wstring& path);
  // Opens the process of `launch`, which the watch loop has just listed, by
  // its id, to see later whether it has ended, how long it ran and with
  // which exit code; empty when it has ended already.
  virtual UniqueKernelHandle OpenObs(const ObsLaunch& launch);
  // True while `process` (from OpenObs for `launch`) runs.
  virtual bool ObsStillRuns(const ObsLaunch& launch, HANDLE process);
  // How long `process` has run, from its start to its end or to now, and
  // its exit code once it has ended.
  struct ObsRun {
    int64_t seconds = 0;
    uint32_t exitCode = 0;
  };
  virtual ObsRun RunOf(const ObsLaunch& launch, HANDLE process);
  // The user `process` runs as (the SID's bytes); false when it cannot be told.
  virtual bool ObsUserOf(HANDLE process, std::vector<unsigned char>& user);
  // Writes `message` to the Application event log (see WriteServiceEvent).
  virtual void ReportToEventLog(const std::wstring& message);
};

// The service's runner: GetProcessFilePath of the current process and the
// real RunGuiProcess, which gives the installer a while to finish and then
// leaves it once `running` is cleared.
class SystemUpdateRunner : public UpdateRunner {
 public:
  explicit SystemUpdateRunner(const std::atomic<bool>* running) : running_(running) {}
  bool IsActiveUsersObs(const ObsLaunch& launch, std::vector<unsigned char>& user) override;
  bool GetServicePath(std::wstring& path) override;
  bool RunGuiProcess(const GuiProcessRequest& request, ObsLaunch& restartedObs,
                     UniqueKernelHandle& restartedProcess) override;

 private:
  const std::atomic<bool>* running_;
};

// An update a launch check decided on: the launch, the user its OBS runs as,
// the release, and its build (the MD5 of
// obs64.exe; empty when it was not hashed). A revert (see LaunchFollowUp)
// is one too: the release kept from before the one that crashed OBS.
struct PlannedUpdate {
  ObsLaunch launch;
  std::vector<unsigned char> obsUser;
  PluginMetadata metadata;
  std::string obsBuild;
  // A revert: the release it undoes; 0 for an update.
  int32_t revertOf = 0;
  // Run with the user's own rights whatever the OBS folder's list says (the
  // update a revert undoes ran so).
  bool unelevated = false;
};

// What RunPlannedUpdate did.
struct UpdateOutcome {
  // The OBS started again (processId 0 when none) and, when the run started
  // it, its process handle from its creation.
  ObsLaunch restarted;
  UniqueKernelHandle restartedProcess;
};

// Runs the downloader/installer for `update` on the user's desktop (OBS
// stopped and started again around it), with the tokens of its OBS's user
// only, and with `stagedPath` (when not empty) as the staged installer for
// the downloader to run: ` /sha256='<hex>' /staged='<file>'` follow the
// three arguments. Nothing runs when the service's own path cannot be read
// or a folder or file the installer may write to leads elsewhere through a
// link (checked now, just before the run). After total success the
// installer is kept for its build with the one it replaced (see
// kept_releases.h; the staged file is deleted when it cannot be kept), the
// revision recorded (and the roll re-drawn when it changed) and "Release %d
// is installed for %s" logged; for a revert "Reverted the plugin of %s to
// release %d: release %d made OBS crash twice at start", which also goes to
// the event log. Otherwise "RunGuiProcess for the downloader/installer did
// not finish in total success.".
UpdateOutcome RunPlannedUpdate(WorkerState& worker, UpdateRunner& runner, ServiceLog& log,
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

// HandleFreshLaunch with the resolver (see ResolverFactory) and the runner given.
void HandleFreshLaunch(WorkerState& worker, const ResolverFactory& makeResolver,
                       UpdateRunner& runner, const ObsLaunch& launch,
                       ObsProcessHistory& obsProcessHistory, LaunchFollowUp& followUp);
