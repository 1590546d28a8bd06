#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "process/obs_launch.h"
#include "state/kept_releases.h"
#include "state/staging_board.h"
#include "watch/launch_handler.h"

class ServiceLog;
class WorkerState;

// An update whose installer is pinned by its SHA-256 and not staged yet
// waits at most this many seconds for the staging thread, counted from when
// the launch begins to wait (its documents fetched and its files hashed).
// Later, OBS is left running; the staging goes on, for the next launch.
inline constexpr int64_t StagingDeadlineSeconds = 15;

// What the watch thread follows up on between its passes, and nothing else
// touches: the updates of launches waiting for their installer to be staged,
// the OBS processes whose end has their install checked for prestaging, and
// the OBS processes of a build whose plugin release is on probation (see
// kept_releases.h), whose crashes at start have the release undone. The
// watch loop (its context) owns one for as long as it runs; the staging
// thread is reached only through the worker's StagingBoard, and nothing
// here ever waits for it or for the network.
class LaunchFollowUp {
 public:
  // Starts `update`: at once when its installer is not pinned by a SHA-256
  // (the downloader downloads it while OBS is stopped) or is found staged
  // already; otherwise it asks the staging thread for the installer (or
  // joins the staging of it under way), logs "Waiting up to %d s for the
  // installer to be staged into %s" and leaves the update to Advance. The OBS
  // an update started again is recorded in `obsProcessHistory` and watched.
  void Begin(WorkerState& worker, UpdateRunner& runner, ServiceLog& log,
             const PlannedUpdate& update, ObsProcessHistory& obsProcessHistory,
             std::chrono::steady_clock::time_point now);

  // Watches `obs` (its filePath set) through `process`, or through a handle
  // opened by `runner` now, while it is known to run: once it has ended, a
  // prestaging check of its install is asked for; not when an update ran
  // for it. While a release is on probation, an OBS of its build (by the MD5
  // of its obs64.exe, or by its path when the build changed) is also judged
  // by how long it ran and how it ended, with `user` (when given) as the
  // user it runs as. Each process is watched once.
  void WatchForEnd(WorkerState& worker, UpdateRunner& runner, const ObsLaunch& obs,
                   UniqueKernelHandle process = {},
                   const std::vector<unsigned char>* user = nullptr);

  // Once a pass, at `now`: runs each waiting update whose installer is now
  // staged while its OBS still runs; drops, with a line in the log, one
  // whose OBS has ended ("OBS ended while the installer was staged: ...") or
  // that has waited longer than StagingDeadlineSeconds ("The installer was
  // not staged within %d s: ..."), and silently one whose staging failed
  // (the staging thread has logged why). Then judges the watched OBS
  // processes of a release on probation: one that has run ProbationSeconds
  // ends the probation; one that ended within them with an exception counts
  // as a crash ("OBS ended %d s after its start with exit code 0x%08X: crash
  // %d of release %d"), and the CrashesBeforeRevert-th holds the release and
  // undoes it at once with the installer kept of the release before it, the
  // same verified run as an update (see Revert). Then asks for a prestaging
  // check of the install of each watched OBS that has ended, but one that
  // crashed.
  void Advance(WorkerState& worker, UpdateRunner& runner, ServiceLog& log,
               ObsProcessHistory& obsProcessHistory, std::chrono::steady_clock::time_point now);

  size_t waiting() const { return waiting_.size(); }

 private:
  struct WaitingUpdate {
    PlannedUpdate update;
    StagingBoard::Ticket ticket = 0;
    std::wstring stagedFolder;  // where the installer will be
    std::chrono::steady_clock::time_point since;
  };
  struct WatchedObs {
    ObsLaunch obs;
    UniqueKernelHandle process;
    // While its run counts for a release on probation: the build it counts
    // for, the MD5 of its own obs64.exe and the user it runs as.
    std::string probationBuild;
    std::string md5;
    std::vector<unsigned char> user;
  };
  void Run(WorkerState& worker, UpdateRunner& runner, ServiceLog& log, const PlannedUpdate& update,
           const std::wstring& stagedPath, ObsProcessHistory& obsProcessHistory);
  // True while the watched OBS of `launch` runs.
  bool StillRuns(UpdateRunner& runner, const ObsLaunch& launch) const;
  // Judges `watched`, which has ended (`ended`) or still runs, for the
  // release on probation it counts for. True when it crashed.
  bool Judge(WorkerState& worker, UpdateRunner& runner, ServiceLog& log, WatchedObs& watched,
             bool ended, ObsProcessHistory& obsProcessHistory);
  // After the crash that has the release on probation for `build` undone:
  // holds it, and runs the installer kept of the release before it for the
  // OBS that crashed; or, when that cannot be (no installer kept, one whose
  // SHA-256 is no longer the one its metadata named, an OBS build that
  // changed with the update), only holds it and logs why once.
  void Revert(WorkerState& worker, UpdateRunner& runner, ServiceLog& log, const WatchedObs& crashed,
              const std::string& build, KeptReleases& releases,
              ObsProcessHistory& obsProcessHistory);

  std::vector<WaitingUpdate> waiting_;
  std::vector<WatchedObs> watched_;
  // The OBS processes updates ran for: no longer watched.
  ObsProcessHistory updated_;
};
