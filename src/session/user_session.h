#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/unique_handle.h"
#include "process/obs_launch.h"
#include "session/session_api.h"

// Id of the first session in the active state; 0 when the sessions cannot be
// listed or none is active.
DWORD GetActiveSessionId(SessionApi& api);

// Starts `executablePath` with `token` on the interactive desktop, in the
// folder that holds the executable, with the token's own environment (not
// the caller's). Returns the new process's id and creation time (seconds
// since 1970-01-01 UTC, 0 when it cannot be read) with an empty filePath;
// processId 0 on failure, with the thread's last-error code telling why.
// With `process`, it receives the handle creation gave (full access), so
// that the end of a process that exits at once is not missed.
ObsLaunch LaunchProcessAsUser(SessionApi& api, const std::wstring& executablePath, HANDLE token,
                              UniqueKernelHandle* process = nullptr);
