#include "watch/launch_handler.h"

#include "log/service_log.h"
#include "watch/watch_loop.h"

void HandleFreshLaunch(WorkerState* /*worker*/, const ObsLaunch& launch,
                       ObsProcessHistory& obsProcessHistory) {
  // Identification, the plugin check and the update run come before this
  // point; until they exist every launch ends here, recorded.
  AddToHistory(ServiceLog::Instance(), launch, obsProcessHistory);
}
