#include "process/windows_functions.h"

#include <psapi.h>
#include <tlhelp32.h>

#include "common/text.h"
#include "common/unique_handle.h"
#include "process/process_tree.h"

namespace {

constexpr DWORD QueryAndReadAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;  // 0x410
constexpr DWORD ModulePathBufferSize = 260;
constexpr UINT DescendantExitCode = 1;
constexpr UINT NamedProcessExitCode = 0;

// The wide entry record: with UNICODE defined the narrow Process32First is
// not reachable by name, and the wide one needs no code-page conversion.
ProcessSnapshot TakeProcessSnapshot() {
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return std::nullopt;
  std::vector<ProcessEntry> entries;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    entries.push_back({entry.th32ProcessID, entry.th32ParentProcessID});
  }
  return entries;
}

void TerminateWithCode(DWORD processId, UINT exitCode) {
  UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
  if (process) TerminateProcess(process.get(), exitCode);
}

}  // namespace

bool WindowsFunctions::FindProcessesByName(const std::string& name, std::vector<ObsLaunch>& list) {
  UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  const std::wstring wideName = FromUtf8(name);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (!SameExecutableName(entry.szExeFile, wideName)) continue;
    ObsLaunch launch;
    launch.processId = static_cast<int32_t>(entry.th32ProcessID);
    UniqueKernelHandle process(OpenProcess(QueryAndReadAccess, FALSE, entry.th32ProcessID));
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
  return TerminateDescendants(processId, &TakeProcessSnapshot, [](uint32_t descendant) {
    TerminateWithCode(descendant, DescendantExitCode);
  });
}

bool WindowsFunctions::TerminateProcessTree(DWORD processId) {
  if (!TerminateChildProcesses(processId)) return false;
  UniqueKernelHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, processId));
  if (!process) return false;
  return TerminateProcess(process.get(), NamedProcessExitCode) != FALSE;
}
