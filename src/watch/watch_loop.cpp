#include "watch/watch_loop.h"

#include <windows.h>

#include <chrono>
#include <ctime>
#include <exception>
#include <mutex>
#include <string>

#include "common/text.h"
#include "log/service_log.h"
#include "process/windows_functions.h"
#include "selfupdate/self_update.h"
#include "state/worker_state.h"
#include "trust/cdn_documents.h"
#include "watch/launch_handler.h"

namespace {

// What a pass is doing, for the one line logged when it fails.
struct PassStep {
  const char* what = "listing the obs64.exe processes";
  const ObsLaunch* launch = nullptr;
};

void LogPassFailure(ServiceLog& log, const PassStep& step, const char* reason) {
  if (step.launch != nullptr) {
    log.Print(
        "Watch pass failed while handling obs64.exe processId = %d, processStartDate = %d: %s. "
        "Carrying on.",
        static_cast<int>(step.launch->processId), static_cast<int>(step.launch->processStartDate),
        reason);
  } else {
    log.Print("Watch pass failed while %s: %s. Carrying on.", step.what, reason);
  }
}

void HandleNewLaunch(WatchContext& context, WorkerState* worker, const ObsLaunch& launch,
                     ObsProcessHistory& obsProcessHistory) {
  // Taken only now, so a launch that waited behind a long check in this
  // pass is judged by its age at its own turn.
  const int64_t timeSinceLaunch = context.Now() - launch.processStartDate;
  context.Log().Print(
      "Detected new obs64.exe, timeSinceLaunch = %d, processId = %d, processStartDate = %d, "
      "filePath = %s",
      static_cast<int>(timeSinceLaunch), static_cast<int>(launch.processId),
      static_cast<int>(launch.processStartDate), ToUtf8(launch.filePath).c_str());
  if (timeSinceLaunch > FreshLaunchWindow) {
    // Already under way before we saw it: never interrupted.
    AddToHistory(context.Log(), launch, obsProcessHistory);
    return;
  }
  context.HandleFreshLaunch(worker, launch, obsProcessHistory);
}

}  // namespace

void AddToHistory(ServiceLog& log, const ObsLaunch& launch, ObsProcessHistory& obsProcessHistory) {
  log.Print("Adding { itr->processId, itr->processStartDate } { %d, %d} to obsProcessHistory",
            static_cast<int>(launch.processId), static_cast<int>(launch.processStartDate));
  obsProcessHistory.insert(KeyOf(launch));
}

void RunWatchPass(WatchContext& context, WorkerState* worker,
                  ObsProcessHistory& obsProcessHistory) {
  PassStep step;
  std::vector<ObsLaunch> list;
  // Each launch and the self-update check fail on their own: whatever one
  // of them runs into must neither end the watching nor starve the others.
  const auto guarded = [&](auto&& run) {
    try {
      run();
    } catch (const std::exception& error) {
      LogPassFailure(context.Log(), step, error.what());
    } catch (...) {
      LogPassFailure(context.Log(), step, "unknown exception");
    }
  };
  guarded([&] {
    // A list that broke off half way is not handled; the next pass lists afresh.
    std::vector<ObsLaunch> found;
    context.FindObsProcesses(found, obsProcessHistory);
    list.swap(found);
  });
  std::vector<ObsLaunch> seen;
  for (const ObsLaunch& launch : list) {
    if (obsProcessHistory.count(KeyOf(launch)) == 0) seen.push_back(launch);
  }
  if (!seen.empty()) {
    // Held from now on, so that an OBS that ends during its own check is
    // still known by its exit code.
    step = PassStep{"watching the new obs64.exe processes", nullptr};
    guarded([&] { context.WatchNewLaunches(worker, seen); });
  }
  for (const ObsLaunch& launch : seen) {
    // A check of an earlier launch in this pass may have recorded it.
    if (obsProcessHistory.count(KeyOf(launch)) != 0) continue;
    step.launch = &launch;
    guarded([&] { HandleNewLaunch(context, worker, launch, obsProcessHistory); });
  }
  step = PassStep{"following up on earlier launches", nullptr};
  guarded([&] { context.FollowUp(worker, obsProcessHistory); });
  step = PassStep{"checking for a new version of the service", nullptr};
  guarded([&] {
    if (context.Now() - worker->lastUpdateCheck > UpdateCheckInterval) {
      context.CheckForServiceUpdate(worker);
      // Hourly, and at once after the start: a release published since is
      // staged before the next launch needs it.
      worker->staging.CheckAllInstalls();
    }
  });
}

void RunWatchLoop(WatchContext& context, WorkerState* worker) {
  ObsProcessHistory obsProcessHistory;
  while (worker->running) {
    RunWatchPass(context, worker, obsProcessHistory);
    context.Pause();
  }
}

void WatchLoop(WorkerState* worker) {
  SystemWatchContext context;
  RunWatchLoop(context, worker);
}

int64_t SystemWatchContext::Now() { return static_cast<int64_t>(std::time(nullptr)); }

void SystemWatchContext::FindObsProcesses(std::vector<ObsLaunch>& list,
                                          const ObsProcessHistory& known) {
  // Without a snapshot the list stays empty and the pass simply sees no OBS.
  WindowsFunctions::FindProcessesByName(ObsProcessName, list, &known);
}

void SystemWatchContext::HandleFreshLaunch(WorkerState* worker, const ObsLaunch& launch,
                                           ObsProcessHistory& obsProcessHistory) {
  ::HandleFreshLaunch(worker, launch, obsProcessHistory, followUp_);
}

void SystemWatchContext::WatchNewLaunches(WorkerState* worker, const std::vector<ObsLaunch>& seen) {
  SystemUpdateRunner runner(&worker->running);
  for (const ObsLaunch& launch : seen) followUp_.WatchForEnd(*worker, runner, launch);
}

void SystemWatchContext::FollowUp(WorkerState* worker, ObsProcessHistory& obsProcessHistory) {
  SystemUpdateRunner runner(&worker->running);
  followUp_.Advance(*worker, runner, Log(), obsProcessHistory, std::chrono::steady_clock::now());
}

void SystemWatchContext::CheckForServiceUpdate(WorkerState* worker) {
  // The key set first, so that the update document is judged by the keys
  // the CDN names today. The check counts as made from here on, so that
  // nothing the key set runs into makes the next pass try again.
  worker->lastUpdateCheck = Now();
  std::lock_guard<std::mutex> lock(worker->stateLock);
  CdnDocuments cdn(*worker);
  cdn.RefreshKeySet();
  ::CheckForServiceUpdate(worker, cdn);
}

void SystemWatchContext::Pause() { Sleep(PassPauseMilliseconds); }

ServiceLog& SystemWatchContext::Log() { return ServiceLog::Instance(); }
