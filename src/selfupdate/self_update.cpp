#include "selfupdate/self_update.h"

#include <ctime>

#include "log/service_log.h"
#include "state/worker_state.h"

void CheckForServiceUpdate(WorkerState* worker) {
  ServiceLog::Instance().Print("Checking for new version of updater.");
  worker->lastUpdateCheck = static_cast<int64_t>(std::time(nullptr));
  // Fetching the update document and starting a newer installer follow here.
}
