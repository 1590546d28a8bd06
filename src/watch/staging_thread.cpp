#include "watch/staging_thread.h"

#include <chrono>
#include <exception>
#include <optional>
#include <string>

#include "log/service_log.h"
#include "state/state_directory.h"
#include "state/worker_state.h"
#include "watch/installer_staging.h"
#include "watch/prestaging.h"

namespace {

// Runs `work`; an exception it raises is logged as a failure of `what`.
template <typename Work>
void Guarded(const char* what, Work work) {
  const auto failed = [&](const char* reason) {
    ServiceLog::Instance().Print("Staging thread failed while %s: %s. Carrying on.", what, reason);
  };
  try {
    work();
  } catch (const std::exception& error) {
    failed(error.what());
  } catch (...) {
    failed("unknown exception");
  }
}

}  // namespace

void RunStagingJob(WorkerState& worker, const StagingBoard::Job& job) {
  ServiceLog& log = ServiceLog::Instance();
  bool staged = false;
  std::wstring path;
  Guarded("staging an installer", [&] {
    if (worker.GetStateDirectory().empty()) {
      log.Print("Staging the installer failed: there is no state folder");
      return;
    }
    StagingRequest request;
    request.stagedFolder = StagedFolderOf(worker.GetStateDirectory());
    request.url = job.url;
    request.sha256 = job.sha256;
    request.running = &worker.running;
    request.stateDirectory = worker.GetStateDirectory();
    staged = StageInstaller(log, request, path);
  });
  // Whatever happened, nobody is left waiting for this job.
  worker.staging.Finish(job.ticket, staged, path);
}

void StagingLoop(WorkerState* worker) {
  while (worker->running) {
    StagingBoard::Work work =
        worker->staging.WaitForWork(std::chrono::milliseconds(StagingIdlePollMilliseconds));
    if (work.job) {
      RunStagingJob(*worker, *work.job);
      continue;
    }
    if (work.empty() || !worker->running) continue;
    int checked = 0;
    Guarded("checking OBS installs for prestaging",
            [&] { checked = PrestageInstalls(*worker, work.checkAll, work.checkPaths); });
    // What the checks asked for is staged before the round counts as done.
    while (worker->running) {
      std::optional<StagingBoard::Job> job = worker->staging.TakeJob();
      if (!job) break;
      RunStagingJob(*worker, *job);
    }
    ServiceLog::Instance().Print("Prestaging check done for %d OBS installs", checked);
  }
}
