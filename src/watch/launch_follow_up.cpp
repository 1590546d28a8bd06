#include "watch/launch_follow_up.h"

#include <algorithm>
#include <utility>

#include "common/text.h"
#include "log/service_log.h"
#include "state/state_directory.h"
#include "state/worker_state.h"

void LaunchFollowUp::Run(WorkerState& worker, UpdateRunner& runner, ServiceLog& log,
                         const PlannedUpdate& update, const std::wstring& stagedPath,
                         ObsProcessHistory& obsProcessHistory) {
  // The OBS an update stops is not closed by its user, and its install is
  // dealt with here: its end asks for no check.
  const ObsProcessKey key = KeyOf(update.launch);
  updated_.insert(key);
  watched_.erase(
      std::remove_if(watched_.begin(), watched_.end(),
                     [&](const WatchedObs& watched) { return KeyOf(watched.obs) == key; }),
      watched_.end());
  ObsLaunch restarted = RunPlannedUpdate(worker, runner, log, update, stagedPath);
  if (restarted.processId == 0) return;
  // Started by the service itself: never taken for a new launch, but its
  // end counts like any other.
  obsProcessHistory.insert(KeyOf(restarted));
  restarted.filePath = update.launch.filePath;
  WatchForEnd(runner, restarted);
}

void LaunchFollowUp::Begin(WorkerState& worker, UpdateRunner& runner, ServiceLog& log,
                           const PlannedUpdate& update, ObsProcessHistory& obsProcessHistory,
                           std::chrono::steady_clock::time_point now) {
  const std::string& sha256 = update.metadata.installerSha256;
  if (sha256.empty()) {
    Run(worker, runner, log, update, {}, obsProcessHistory);
    return;
  }
  if (worker.GetStateDirectory().empty()) {
    log.Print("Staging the installer failed: there is no state folder");
    return;
  }
  const std::wstring folder = StagedFolderOf(worker.GetStateDirectory());
  // A file being staged is not looked at: it is still being written.
  std::wstring stagedPath;
  if (!worker.staging.IsStaging(sha256) && runner.FindStagedInstaller(folder, sha256, stagedPath)) {
    Run(worker, runner, log, update, stagedPath, obsProcessHistory);
    return;
  }
  WaitingUpdate waiting;
  waiting.update = update;
  waiting.ticket = worker.staging.Stage(update.metadata.installer, sha256);
  waiting.stagedFolder = folder;
  waiting.since = now;
  log.Print("Waiting up to %d s for the installer to be staged into %s",
            static_cast<int>(StagingDeadlineSeconds), ToUtf8(folder).c_str());
  WatchForEnd(runner, update.launch);
  waiting_.push_back(std::move(waiting));
}

void LaunchFollowUp::WatchForEnd(UpdateRunner& runner, const ObsLaunch& obs) {
  const ObsProcessKey key = KeyOf(obs);
  if (updated_.count(key) != 0 ||
      std::any_of(watched_.begin(), watched_.end(),
                  [&](const WatchedObs& watched) { return KeyOf(watched.obs) == key; })) {
    return;
  }
  // One that has ended already is asked about at the next Advance.
  watched_.push_back({obs, runner.OpenObs(obs)});
}

bool LaunchFollowUp::StillRuns(UpdateRunner& runner, const ObsLaunch& launch) const {
  auto found = std::find_if(watched_.begin(), watched_.end(), [&](const WatchedObs& watched) {
    return KeyOf(watched.obs) == KeyOf(launch);
  });
  return found != watched_.end() && runner.ObsStillRuns(found->obs, found->process.get());
}

void LaunchFollowUp::Advance(WorkerState& worker, UpdateRunner& runner, ServiceLog& log,
                             ObsProcessHistory& obsProcessHistory,
                             std::chrono::steady_clock::time_point now) {
  // Taken out first: a run below may take a while, and changes watched_.
  std::vector<WaitingUpdate> waiting = std::exchange(waiting_, {});
  for (WaitingUpdate& entry : waiting) {
    const StagingBoard::JobStatus status = worker.staging.StatusOf(entry.ticket);
    const std::string stagedFolder = ToUtf8(entry.stagedFolder);
    if (status.state == StagingBoard::JobState::Failed) continue;
    if (!StillRuns(runner, entry.update.launch)) {
      log.Print("OBS ended while the installer was staged: the next launch installs from %s",
                stagedFolder.c_str());
    } else if (status.state == StagingBoard::JobState::Staged) {
      Run(worker, runner, log, entry.update, status.path, obsProcessHistory);
    } else if (now - entry.since > std::chrono::seconds(StagingDeadlineSeconds)) {
      log.Print(
          "The installer was not staged within %d s: OBS is left running, the next launch "
          "installs from %s",
          static_cast<int>(StagingDeadlineSeconds), stagedFolder.c_str());
    } else {
      waiting_.push_back(std::move(entry));
    }
  }
  for (auto watched = watched_.begin(); watched != watched_.end();) {
    if (runner.ObsStillRuns(watched->obs, watched->process.get())) {
      ++watched;
    } else {
      worker.staging.CheckInstall(ToUtf8(watched->obs.filePath));
      watched = watched_.erase(watched);
    }
  }
}
