#pragma once

#include "process/obs_launch.h"

class WorkerState;

// Deals with one OBS launch that the watch loop has just seen, at most a few
// seconds after it started. Records the launch in `obsProcessHistory` on
// every path except one (the executable cannot be read for identification),
// which leaves it for the next pass of the loop.
void HandleFreshLaunch(WorkerState* worker, const ObsLaunch& launch,
                       ObsProcessHistory& obsProcessHistory);
