#pragma once

#include <cstdint>
#include <vector>

#include "process/obs_launch.h"
#include "watch/launch_follow_up.h"

class ServiceLog;
class WorkerState;

// A launch at most this many seconds old when first seen is examined; an
// older one is only recorded.
inline constexpr int64_t FreshLaunchWindow = 4;
// A self-update check is due when more than this many seconds have passed
// since the last one.
inline constexpr int64_t UpdateCheckInterval = 3600;
inline constexpr unsigned PassPauseMilliseconds = 100;
inline constexpr char ObsProcessName[] = "obs64.exe";

// Everything a pass of the watch loop reaches outside itself, so that its
// decisions can be driven without real time or real processes.
class WatchContext {
 public:
  virtual ~WatchContext() = default;
  // Calendar time in seconds since 1970-01-01 UTC.
  virtual int64_t Now() = 0;
  // Appends the running obs64.exe processes, in snapshot order; appends
  // nothing when no snapshot can be taken. Those already in `known` may be
  // left out (the pass skips them anyway).
  virtual void FindObsProcesses(std::vector<ObsLaunch>& list, const ObsProcessHistory& known) = 0;
  // Before anything is done about them: `seen` are the launches this pass
  // listed that were not in `obsProcessHistory` before it, each to be
  // watched for its end from now on (see LaunchFollowUp::WatchForEnd).
  virtual void WatchNewLaunches(WorkerState* worker, const std::vector<ObsLaunch>& seen) = 0;
  virtual void HandleFreshLaunch(WorkerState* worker, const ObsLaunch& launch,
                                 ObsProcessHistory& obsProcessHistory) = 0;
  // After the launches of a pass: what they started and what the OBS
  // processes watched did, see LaunchFollowUp::Advance.
  virtual void FollowUp(WorkerState* worker, ObsProcessHistory& obsProcessHistory) = 0;
  virtual void CheckForServiceUpdate(WorkerState* worker) = 0;
  // The pause at the end of every pass.
  virtual void Pause() = 0;
  virtual ServiceLog& Log() = 0;
};

// The context of the running service: the system clock and process list,
// the real launch handling and its follow-up (every OBS listed is watched
// for its end), the self-update (after a fetch of the key set, under the
// worker's stateLock), Sleep(100) and the service log.
class SystemWatchContext : public WatchContext {
 public:
  int64_t Now() override;
  void FindObsProcesses(std::vector<ObsLaunch>& list, const ObsProcessHistory& known) override;
  void WatchNewLaunches(WorkerState* worker, const std::vector<ObsLaunch>& seen) override;
  void HandleFreshLaunch(WorkerState* worker, const ObsLaunch& launch,
                         ObsProcessHistory& obsProcessHistory) override;
  void FollowUp(WorkerState* worker, ObsProcessHistory& obsProcessHistory) override;
  void CheckForServiceUpdate(WorkerState* worker) override;
  void Pause() override;
  ServiceLog& Log() override;

 private:
  LaunchFollowUp followUp_;
};

// Logs "Adding { itr->processId, itr->processStartDate } { %d, %d} to
// obsProcessHistory" and records the launch.
void AddToHistory(ServiceLog& log, const ObsLaunch& launch, ObsProcessHistory& obsProcessHistory);

// One pass without its pause: every launch of the process list whose key is
// not in `obsProcessHistory` is watched for its end (WatchNewLaunches, before
// any network request is made for it), logged and then either handed to
// HandleFreshLaunch (at most FreshLaunchWindow seconds old, negative ages
// included) or only recorded; then the follow-up of earlier launches
// (FollowUp); then, when it is due, the self-update check, after which the
// staging thread is asked to check every known OBS install for prestaging.
// No step waits for a plugin installer to download (only an update whose
// installer is not pinned has the downloader fetch it while OBS is down, and
// the self-update fetches the service's own). An exception raised while
// listing, while handling one launch, in the follow-up or in the self-update
// check is logged in one line and ends only that step: the others still run.
// None leaves this function.
void RunWatchPass(WatchContext& context, WorkerState* worker, ObsProcessHistory& obsProcessHistory);

// Runs passes, each followed by the pause, while the worker's run flag is
// set; the flag is looked at only before the first pass and after each
// pause, so a stop never cuts a pass short.
void RunWatchLoop(WatchContext& context, WorkerState* worker);

// The watch thread's routine: RunWatchLoop with the system context.
void WatchLoop(WorkerState* worker);
