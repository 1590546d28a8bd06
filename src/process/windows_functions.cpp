#include "process/windows_functions.h"

#include <psapi.h>

#include "common/text.h"
#include "common/unique_handle.h"
#include "process/process_list.h"
#include "process/process_tree.h"

namespace {

constexpr DWORD QueryAndReadAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;  // 0x410
constexpr DWORD ModulePathBufferSize = 260;
constexpr UINT DescendantExitCode = 1;
constexpr UINT NamedProcessExitCode = 0;

void TerminateWithCode(DWORD processId, UINT exitCode) {
  UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
  if (process) TerminateProcess(process.get(), exitCode);
}

}  // namespace

bool WindowsFunctions::FindProcessesByName(const std::string& name, std::vector<ObsLaunch>& list) {
  ProcessSnapshot processes = ListProcesses();
  if (!processes) return false;
  const std::wstring wideName = FromUtf8(name);
  for (const ProcessEntry& entry : *processes) {
    if (!SameExecutableName(entry.exeFile, wideName)) continue;
    ObsLaunch launch;
    launch.processId = static_cast<int32_t>(entry.processId);
    UniqueKernelHandle process(OpenProcess(QueryAndReadAccess, FALSE, entry.processId));
    if (process) {
      FILETIME creation{}, exit{}, kernel{}, user{};
      if (GetProcessTimes(process.get(), &creation, &exit, &kernel, &user)) {
        ULARGE_INTEGER value;
        value.LowPart = creation.dwLowDateTime;
        value.HighPart = creation.dwHighDateTime;
        launch.processStartDate = FileTimeToUnixSeconds(value.QuadPart);
      }
      std::wstring path;
      if (GetProcessFilePath(process.get(), path)) launch.filePath = path;
    }
    if (!launch.filePath.empty()) list.push_back(std::move(launch));
  }
  return true;
}

bool WindowsFunctions::GetProcessFilePath(HANDLE process, std::wstring& path) {
  wchar_t buffer[ModulePathBufferSize];
  DWORD length = K32GetModuleFileNameExW(process, nullptr, buffer, ModulePathBufferSize);
  if (length == 0) return false;
  // Older systems leave a cut path without its terminating zero.
  path.assign(buffer, wcsnlen(buffer, ModulePathBufferSize - 1));
  return true;
}

bool WindowsFunctions::GetProcessFilePath(DWORD processId, std::wstring& path) {
  UniqueKernelHandle process(OpenProcess(QueryAndReadAccess, FALSE, processId));
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
