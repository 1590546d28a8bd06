#pragma once

#include <windows.h>

// The service's name in the service control manager.
inline constexpr char ServiceName[] = "Lumenfeld Browser Service";

// The service main routine, run by the dispatcher on a thread of its own.
void WINAPI ServiceMain(DWORD argc, LPSTR* argv);

// Stop and shutdown stop the watch thread (returning once it has ended);
// every other control code is ignored without a status report.
void WINAPI ServiceControlHandler(DWORD control);

// The status record of one report: own process, exit codes, check point and
// wait hint as given, with `state` and `controlsAccepted`.
SERVICE_STATUS MakeServiceStatus(DWORD state, DWORD controlsAccepted, DWORD win32ExitCode = 0);
