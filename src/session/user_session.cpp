#include "session/user_session.h"

#include <utility>
#include <vector>

#include "common/command_line.h"
#include "common/unique_handle.h"
#include "process/windows_functions.h"
#include "session/launch_settings.h"

DWORD GetActiveSessionId(SessionApi& api) {
  std::vector<SessionApi::Session> sessions;
  if (!api.EnumerateSessions(false, sessions)) return 0;
  for (const auto& session : sessions) {
    if (session.state == WTSActive) return session.sessionId;
  }
  return 0;
}

ObsLaunch LaunchProcessAsUser(SessionApi& api, const std::wstring& executablePath, HANDLE token,
                              UniqueKernelHandle* processOut) {
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
  launched.processId = static_cast<int32_t>(info.dwProcessId);
  // Read through the handle creation gave: once it is closed, a process that
  // has already exited is gone, and its id may name another process.
  launched.processStartDate = WindowsFunctions::GetProcessStartDate(process.get());
  if (processOut) *processOut = std::move(process);
  return launched;
}
