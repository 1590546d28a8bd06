#pragma once

#include <cstdint>
#include <vector>

#include "process/obs_launch.h"

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
  virtual void HandleFreshLaunch(WorkerState* worker, const ObsLaunch& launch,
                                 ObsProcessHistory& obsProcessHistory) = 0;
  virtual void CheckForServiceUpdate(WorkerState* worker) = 0;
  // The pause at the end of every pass.
  virtual void Pause() = 0;
  virtual ServiceLog& Log() = 0;
};

// The context of the running service: the system clock and process list,
// the real launch handling and self-update (after a fetch of the key set),
// Sleep(100) and the service log.
class SystemWatchContext : public WatchContext {
 public:
  int64_t Now() override;
  void FindObsProcesses(std::vector<ObsLaunch>& list, const ObsProcessHistory& known) override;
  void HandleFreshLaunch(WorkerState* worker, const ObsLaunch& launch,
                         ObsProcessHistory& obsProcessHistory) override;
  void CheckForServiceUpdate(WorkerState* worker) override;
  void Pause() override;
  ServiceLog& Log() override;
};

// Logs "Adding { itr->processId, itr->processStartDate } { %d, %d} to
// obsProcessHistory" and records the launch.
void AddToHistory(ServiceLog& log, const ObsLaunch& launch, ObsProcessHistory& obsProcessHistory);

// One pass without its pause: every launch of the process list whose key is
// not in `obsProcessHistory` is logged and then either handed to
// HandleFreshLaunch (at most FreshLaunchWindow seconds old, negative ages
// included) or only recorded; then the self-update check when it is due.
// An exception raised while listing, while handling one launch or in the
// self-update check is logged in one line and ends only that step: the
// other launches and the check still run. None leaves this function.
void RunWatchPass(WatchContext& context, WorkerState* worker, ObsProcessHistory& obsProcessHistory);

// Runs passes, each followed by the pause, while the worker's run flag is
// set; the flag is looked at only before the first pass and after each
// pause, so a stop never cuts a pass short.
void RunWatchLoop(WatchContext& context, WorkerState* worker);

// The watch thread's routine: RunWatchLoop with the system context.
void WatchLoop(WorkerState* worker);
