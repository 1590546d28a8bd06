#include "selfupdate/self_update.h"

#include <ctime>

#include "log/service_log.h"
#include "service/worker.h"

void CheckForServiceUpdate(Worker* worker) {
  ServiceLog::Instance().Print("Checking for new version of updater.");
  worker->lastUpdateCheck = static_cast<int64_t>(std::time(nullptr));
  // Fetching the update document and starting a newer installer follow here.
}
