#include "watch/launch_follow_up.h"

#include <windows.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <optional>
#include <utility>

#include "common/staged_installers.h"
#include "common/text.h"
#include "fs/path_checks.h"
#include "log/service_log.h"
#include "state/kept_releases.h"
#include "state/state_directory.h"
#include "state/worker_state.h"

namespace {

// Why the installer kept of `release` in `stagedFolder` cannot be run: none
// of its names holds a file of its SHA-256 (read through a handle that
// keeps writers out). Empty, with `path` set, when one does.
std::string FindKeptInstaller(UpdateRunner& runner, const std::wstring& stagedFolder,
                              const KeptRelease& release, std::wstring& path) {
  if (runner.FindStagedInstaller(stagedFolder, release.sha256, path)) return {};
  const std::string rev = std::to_string(release.rev);
  for (const std::wstring& name : StagedInstallerPaths(stagedFolder, FromUtf8(release.sha256))) {
    if (GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES) {
      return "the installer kept of release " + rev + " is no longer the one its metadata named";
    }
  }
  return "no installer of release " + rev + " is kept in " + ToUtf8(stagedFolder);
}

}  // namespace

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
  UpdateOutcome outcome = RunPlannedUpdate(worker, runner, log, update, stagedPath);
  if (outcome.restarted.processId == 0) return;
  // Started by the service itself: never taken for a new launch, but its
  // end counts like any other, and its crash at start for the release just
  // installed: it is watched from its creation on.
  obsProcessHistory.insert(KeyOf(outcome.restarted));
  outcome.restarted.filePath = update.launch.filePath;
  WatchForEnd(worker, runner, outcome.restarted, std::move(outcome.restartedProcess),
              &update.obsUser);
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
  WatchForEnd(worker, runner, update.launch);
  waiting_.push_back(std::move(waiting));
}

void LaunchFollowUp::WatchForEnd(WorkerState& worker, UpdateRunner& runner, const ObsLaunch& obs,
                                 UniqueKernelHandle process,
                                 const std::vector<unsigned char>* user) {
  const ObsProcessKey key = KeyOf(obs);
  if (updated_.count(key) != 0 ||
      std::any_of(watched_.begin(), watched_.end(),
                  [&](const WatchedObs& watched) { return KeyOf(watched.obs) == key; })) {
    return;
  }
  // One that has ended already is asked about at the next Advance.
  WatchedObs watched{obs, process ? std::move(process) : runner.OpenObs(obs), {}, {}, {}};
  std::string problem;
  const std::optional<KeptReleases> releases =
      watched.process && !worker.GetStateDirectory().empty()
          ? ReadKeptReleases(std::filesystem::path(worker.GetStateDirectory()), problem)
          : std::nullopt;
  // Hashed only while a release is on probation: an OBS started before the
  // service, or ten in a row, costs nothing else. Never through another host,
  // which this account would authenticate to.
  if (releases && AnyOnProbation(*releases) && IsOnLocalDrive(obs.filePath)) {
    PathLink link = PathLink::None;
    watched.md5 = runner.HashFile(obs.filePath, &link);
    watched.probationBuild = ProbationBuildOf(*releases, watched.md5, ToUtf8(obs.filePath));
    if (!watched.probationBuild.empty()) {
      if (user != nullptr) {
        watched.user = *user;
      } else {
        runner.ObsUserOf(watched.process.get(), watched.user);
      }
    }
  }
  watched_.push_back(std::move(watched));
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
  // Taken out first: a revert below changes watched_.
  std::vector<WatchedObs> ended;
  for (auto watched = watched_.begin(); watched != watched_.end();) {
    if (runner.ObsStillRuns(watched->obs, watched->process.get())) {
      Judge(worker, runner, log, *watched, false, obsProcessHistory);
      ++watched;
    } else {
      ended.push_back(std::move(*watched));
      watched = watched_.erase(watched);
    }
  }
  for (WatchedObs& watched : ended) {
    // A crash at start is no close of OBS: its install was checked a moment ago.
    if (!Judge(worker, runner, log, watched, true, obsProcessHistory)) {
      worker.staging.CheckInstall(ToUtf8(watched.obs.filePath));
    }
  }
}

bool LaunchFollowUp::Judge(WorkerState& worker, UpdateRunner& runner, ServiceLog& log,
                           WatchedObs& watched, bool ended, ObsProcessHistory& obsProcessHistory) {
  if (watched.probationBuild.empty()) return false;
  const UpdateRunner::ObsRun run = runner.RunOf(watched.obs, watched.process.get());
  if (!ended && run.seconds < ProbationSeconds) return false;
  // Judged once: from here on it is an OBS like any other.
  const std::string build = std::exchange(watched.probationBuild, {});
  const std::filesystem::path state(worker.GetStateDirectory());
  std::string problem;
  std::optional<KeptReleases> releases = ReadKeptReleases(state, problem);
  if (!releases) {
    log.Print("Not judging the run of OBS for its plugin release: %s", problem.c_str());
    return false;
  }
  const ObsRunVerdict verdict = JudgeObsRun(*releases, build, ended, run.exitCode, run.seconds);
  const int seconds = static_cast<int>(run.seconds), rev = static_cast<int>(verdict.rev);
  switch (verdict.kind) {
    case ObsRunVerdict::Kind::Nothing:
      return false;
    case ObsRunVerdict::Kind::NotCounted:
      log.Print(
          "OBS ended %d s after its start with exit code 0x%08X: no crash, release %d stays "
          "on probation",
          seconds, static_cast<unsigned>(run.exitCode), rev);
      return false;
    case ObsRunVerdict::Kind::ProbationPassed:
      log.Print("OBS ran %d s with release %d: it is no longer on probation", seconds, rev);
      break;
    case ObsRunVerdict::Kind::Crash:
      log.Print("OBS ended %d s after its start with exit code 0x%08X: crash %d of release %d",
                seconds, static_cast<unsigned>(run.exitCode), static_cast<int>(verdict.crash), rev);
      if (verdict.revert) {
        Revert(worker, runner, log, watched, build, *releases, obsProcessHistory);
        return true;
      }
      break;
  }
  if (!WriteKeptReleases(state, *releases, problem)) {
    log.Print("Not keeping what the run of OBS says of release %d: %s", rev, problem.c_str());
  }
  return verdict.kind == ObsRunVerdict::Kind::Crash;
}

void LaunchFollowUp::Revert(WorkerState& worker, UpdateRunner& runner, ServiceLog& log,
                            const WatchedObs& crashed, const std::string& build,
                            KeptReleases& releases, ObsProcessHistory& obsProcessHistory) {
  const std::string path = ToUtf8(crashed.obs.filePath);
  const BuildReleases entry = releases.at(build);
  const int bad = static_cast<int>(entry.installed->rev);
  std::string why = WhyNoRevert(releases, build, crashed.md5);
  std::wstring keptPath;
  if (why.empty()) {
    why = FindKeptInstaller(runner, StagedFolderOf(worker.GetStateDirectory()), *entry.previous,
                            keptPath);
  }
  // Without it, the run could not keep to that user's tokens.
  if (why.empty() && crashed.user.empty()) why = "the user it ran as cannot be told";
  // A copy of the build run from anywhere else has no OBS root to install
  // into: its folders would be made up from its path, and judged there.
  if (why.empty() && !HasExecutableTail(crashed.obs.filePath)) {
    why = "it does not run from the bin\\64bit folder of an OBS install";
  }
  // Held before anything runs: the next launch must not install it again,
  // whatever becomes of the revert. When the revert cannot be, nothing more
  // is done about this release's crashes.
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  const bool settled = !why.empty();
  HoldRelease(releases, build, entry.installed->rev, settled, now);
  if (!crashed.md5.empty() && crashed.md5 != build) {
    HoldRelease(releases, crashed.md5, entry.installed->rev, true, now);
  }
  std::string problem;
  if (!WriteKeptReleases(std::filesystem::path(worker.GetStateDirectory()), releases, problem)) {
    log.Print("Not reverting the plugin of %s: the hold of release %d cannot be kept, %s",
              path.c_str(), bad, problem.c_str());
    return;
  }
  if (settled) {
    log.Print("Not reverting the plugin of %s: %s; release %d is held on this machine",
              path.c_str(), why.c_str(), bad);
    return;
  }
  const KeptRelease& good = *entry.previous;
  PlannedUpdate revert;
  revert.launch = crashed.obs;
  revert.obsUser = crashed.user;
  revert.obsBuild = build;
  revert.metadata.rev = good.rev;
  revert.metadata.installer = good.url;
  revert.metadata.installerSha256 = good.sha256;
  for (const std::string& file : good.files) revert.metadata.files.push_back({file, {}});
  revert.revertOf = entry.installed->rev;
  // The rights the update it undoes had, or fewer where the folder asks so now.
  revert.unelevated = entry.installed->unelevated;
  Run(worker, runner, log, revert, keptPath, obsProcessHistory);
}
