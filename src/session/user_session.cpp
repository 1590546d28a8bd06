#include "session/user_session.h"

#include <vector>

#include "common/command_line.h"
#include "common/unique_handle.h"
#include "process/process_tree.h"
#include "session/launch_settings.h"

DWORD GetActiveSessionId() {
  SystemSessionApi api;
  return GetActiveSessionId(api);
}

DWORD GetActiveSessionId(SessionApi& api) {
  std::vector<SessionApi::Session> sessions;
  if (!api.EnumerateSessions(false, sessions)) return 0;
  for (const auto& session : sessions) {
    if (session.state == WTSActive) return session.sessionId;
  }
  return 0;
}

ObsLaunch LaunchProcessAsUser(const std::wstring& executablePath, HANDLE token) {
  SystemSessionApi api;
  return LaunchProcessAsUser(api, executablePath, token);
}

ObsLaunch LaunchProcessAsUser(SessionApi& api, const std::wstring& executablePath, HANDLE token) {
  ObsLaunch launched;
  UniqueEnvironmentBlock environment;
  if (!api.CreateEnvironment(token, false, environment.put())) return launched;
  std::wstring workingDirectory = WorkingDirectoryFor(executablePath);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = const_cast<wchar_t*>(kInteractiveDesktop);
  std::wstring commandLine = QuotedCommandLine(executablePath, L"");
  PROCESS_INFORMATION info{};
  BOOL created = CreateProcessAsUserW(token, nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                                      CREATE_UNICODE_ENVIRONMENT, environment.get(),
                                      workingDirectory.c_str(), &startup, &info);
  environment.reset();  // keeps the last-error code
  if (!created) return launched;
  UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  process.reset();
  thread.reset();
  launched.processId = static_cast<int32_t>(info.dwProcessId);
  // Reopened as the process list does, so the start date matches the one the
  // watch loop computes for this process.
  UniqueKernelHandle reopened(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, info.dwProcessId));
  FILETIME creation{}, exit{}, kernel{}, user{};
  if (reopened && GetProcessTimes(reopened.get(), &creation, &exit, &kernel, &user)) {
    ULARGE_INTEGER value;
    value.LowPart = creation.dwLowDateTime;
    value.HighPart = creation.dwHighDateTime;
    launched.processStartDate = FileTimeToUnixSeconds(value.QuadPart);
  }
  return launched;
}
