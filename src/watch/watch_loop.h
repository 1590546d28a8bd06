#pragma once

class Worker;

// The watch thread's routine: runs passes until the worker's run flag is
// found cleared at the end of one.
void WatchLoop(Worker* worker);
