#pragma once

class WorkerState;

// The hourly self-update step: logs its start and stores the current time in
// the worker's lastUpdateCheck before anything can fail, so the next check
// is due an hour later whatever happens to this one.
void CheckForServiceUpdate(WorkerState* worker);
