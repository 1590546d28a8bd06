#include "process/windows_functions.h"

#include <algorithm>

#include "common/text.h"
#include "common/unique_handle.h"
#include "process/process_list.h"
#include "process/process_tree.h"

namespace {

// Enough to read a process's times and its image path from the kernel; the
// process's own memory, which it can rewrite, is never read.
constexpr DWORD QueryAccess = PROCESS_QUERY_LIMITED_INFORMATION;
constexpr DWORD ImagePathBufferSize = 260;
// The longest path the system's wide-character calls take.
constexpr DWORD LongestPath = 32768;
constexpr UINT DescendantExitCode = 1;
constexpr UINT NamedProcessExitCode = 0;

void TerminateWithCode(DWORD processId, UINT exitCode) {
  UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
  if (process) TerminateProcess(process.get(), exitCode);
}

}  // namespace

bool WindowsFunctions::FindProcessesByName(const std::string& name, std::vector<ObsLaunch>& list,
                                           const ObsProcessHistory* known) {
  ProcessSnapshot processes = ListProcesses();
  if (!processes) return false;
  const std::wstring wideName = FromUtf8(name);
  for (const ProcessEntry& entry : *processes) {
    if (!SameExecutableName(entry.exeFile, wideName)) continue;
    ObsLaunch launch;
    launch.processId = static_cast<int32_t>(entry.processId);
    // The list's creation time is the one the process's own times give.
    launch.processStartDate =
        entry.creationTime != 0 ? FileTimeToUnixSeconds(entry.creationTime) : 0;
    if (known != nullptr && known->count(KeyOf(launch)) != 0) continue;
    UniqueKernelHandle process(OpenProcess(QueryAccess, FALSE, entry.processId));
    if (process && GetProcessFilePath(process.get(), launch.filePath) && !launch.filePath.empty()) {
      list.push_back(std::move(launch));
    }
  }
  return true;
}

int64_t WindowsFunctions::GetProcessStartDate(HANDLE process) {
  FILETIME creation{}, exit{}, kernel{}, user{};
  if (!GetProcessTimes(process, &creation, &exit, &kernel, &user)) return 0;
  return FileTimeToUnixSeconds((static_cast<uint64_t>(creation.dwHighDateTime) << 32) |
                               creation.dwLowDateTime);
}

UniqueKernelHandle WindowsFunctions::OpenLaunchedProcess(const ObsLaunch& launch, DWORD access) {
  UniqueKernelHandle process(
      OpenProcess(access | QueryAccess, FALSE, static_cast<DWORD>(launch.processId)));
  if (process && launch.processStartDate != 0 &&
      GetProcessStartDate(process.get()) != launch.processStartDate) {
    process.reset();
  }
  return process;
}

bool WindowsFunctions::IsRunning(const ObsLaunch& launch) {
  const UniqueKernelHandle process = OpenLaunchedProcess(launch, SYNCHRONIZE);
  return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

bool WindowsFunctions::GetProcessFilePath(HANDLE process, std::wstring& path) {
  // The path the kernel recorded when it mapped the image. The module list
  // in the process's own memory would do as well, but the process can
  // rewrite it to name any file, which this service would then hash, log,
  // lock and start. A path too long for the buffer fails with
  // ERROR_INSUFFICIENT_BUFFER, so the buffer grows until it fits.
  std::wstring buffer(ImagePathBufferSize, L'\0');
  for (;;) {
    DWORD length = static_cast<DWORD>(buffer.size());
    if (QueryFullProcessImageNameW(process, 0, buffer.data(), &length)) {
      path.assign(buffer.data(), length);
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) return false;
    if (buffer.size() >= LongestPath) return false;
    buffer.assign(std::min<size_t>(buffer.size() * 2, LongestPath), L'\0');
  }
}

bool WindowsFunctions::GetProcessFilePath(DWORD processId, std::wstring& path) {
  UniqueKernelHandle process(OpenProcess(QueryAccess, FALSE, processId));
  if (!process) return false;
  return GetProcessFilePath(process.get(), path);
}

bool WindowsFunctions::TerminateChildProcesses(DWORD processId) {
  return TerminateDescendants(processId, &ListProcesses, [](uint32_t descendant) {
    TerminateWithCode(descendant, DescendantExitCode);
  });
}

bool WindowsFunctions::TerminateProcessTree(DWORD processId) {
  if (!TerminateChildProcesses(processId)) return false;
  UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
  if (!process) return false;
  return TerminateProcess(process.get(), NamedProcessExitCode) != FALSE;
}
