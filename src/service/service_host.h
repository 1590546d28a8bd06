#pragma once

#include <windows.h>

#include "common/service_name.h"

// The service main routine, run by the dispatcher on a thread of its own.
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);

class Worker;

// The service control handler: HandleServiceControl on the service's Worker
// once it exists (Worker::Existing); nothing before.
void WINAPI ServiceControlHandler(DWORD control);

// What the handler does with `control`: a stop or a shutdown asks `worker`'s
// watch thread to stop and returns at once (the service main routine waits
// for the thread and reports the service stopped); every other control code
// is ignored without a status report. True for the codes acted on.
bool HandleServiceControl(Worker& worker, DWORD control);

// The status record of one report: own process, exit codes, check point and
// wait hint as given, with `state` and `controlsAccepted`.
SERVICE_STATUS MakeServiceStatus(DWORD state, DWORD controlsAccepted, DWORD win32ExitCode = 0);
