#pragma once

#include "state/staging_board.h"

class WorkerState;

// How long the staging thread waits for work before it looks at the run
// flag again (a stop also wakes it at once, see StagingBoard::Wake).
inline constexpr unsigned StagingIdlePollMilliseconds = 1000;

// The staging thread's routine. The Worker starts it beside the watch thread
// and joins it when it stops; it shares with the watch thread only what
// WorkerState says is shared. While the worker's run flag is set it takes
// the work of `worker->staging`, one piece at a time: a job to stage an
// installer (RunStagingJob), or the prestaging checks asked for
// (PrestageInstalls), after which it stages what they asked for and logs
// "Prestaging check done for %d OBS installs". A stop ends a download within
// a second and leaves no partial file. An exception is logged in one line
// and ends only the piece of work it came from.
void StagingLoop(WorkerState* worker);

// Stages the installer of `job` into the Staged folder of the worker's state
// folder (see StageInstaller) and reports the outcome to the board; the
// download ends within a second once the run flag is cleared.
void RunStagingJob(WorkerState& worker, const StagingBoard::Job& job);
