#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "process/obs_launch.h"

// Stateless process operations. None of them logs; on failure the thread's
// last-error code tells why.
class WindowsFunctions {
 public:
  // Appends to `list`, in snapshot order, every running process whose
  // executable file name is `name` (ASCII case ignored), with its creation
  // time (0 when the times cannot be read) and executable path. A process
  // that cannot be opened or whose path cannot be read is left out, and so is
  // one whose key is in `known`, without being opened: the watch loop lists
  // ten times a second and has seen nearly every process before.
  // Returns false, with `list` untouched, when no process snapshot can be taken.
  static bool FindProcessesByName(const std::string& name, std::vector<ObsLaunch>& list,
                                  const ObsProcessHistory* known = nullptr);

  // Creation time of the process in seconds since 1970-01-01 UTC; 0 when
  // its times cannot be read. `process` needs limited query rights.
  static int64_t GetProcessStartDate(HANDLE process);

  // The process of `launch`, opened with `access` and limited query rights,
  // while its id still names the process that started at
  // launch.processStartDate (any process of that id when that is 0, not
  // known); an empty handle otherwise. While the handle is open the id
  // cannot pass to another process.
  static UniqueKernelHandle OpenLaunchedProcess(const ObsLaunch& launch, DWORD access);

  // True while the process of `launch` runs (see OpenLaunchedProcess).
  static bool IsRunning(const ObsLaunch& launch);

  // Full path of the process's executable as the system recorded it when the
  // process was created (never what the process says of itself), however
  // long; false when it cannot be read whole. `path` is written only on
  // success.
  static bool GetProcessFilePath(DWORD processId, std::wstring& path);
  // The same for a handle opened with at least limited query rights.
  static bool GetProcessFilePath(HANDLE process, std::wstring& path);

  // Ends the process's descendants (exit code 1, deepest first), then the
  // process itself (exit code 0). Returns true when the process itself was
  // terminated; false, with nothing terminated, when no snapshot can be taken.
  static bool TerminateProcessTree(DWORD processId);

  // Ends every descendant of the process with exit code 1, deepest first,
  // skipping those that cannot be opened. A process counts as a child only
  // when it was created no earlier than the process its parent id names: the
  // system keeps a parent id after that parent ends, and the id may since
  // have gone to an unrelated, younger process. Stays finite when parent ids
  // form a cycle. Returns false only when no process list can be had.
  static bool TerminateChildProcesses(DWORD processId);
};
