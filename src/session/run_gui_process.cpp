#include "session/run_gui_process.h"

#include <windows.h>

#include <cstdint>
#include <vector>

#include "common/command_line.h"
#include "common/unique_handle.h"
#include "log/service_log.h"
#include "process/windows_functions.h"
#include "session/launch_settings.h"
#include "session/obs_markers.h"
#include "session/user_session.h"

namespace {

constexpr DWORD kGuiCreationFlags = CREATE_UNICODE_ENVIRONMENT | NORMAL_PRIORITY_CLASS;  // 0x420
constexpr DWORD kNoConsoleSession = 0xFFFFFFFF;
constexpr DWORD kBeforeInstallerMs = 100;
constexpr DWORD kBeforeToFrontMs = 400;
// Terminating returns before the process is gone, and until it is gone it
// still holds its executable open, so the lock would fail for no real reason.
constexpr DWORD kStoppedObsExitWaitMs = 5000;
// How often the wait for the installer looks at the run flag.
constexpr DWORD kStopPollMs = 100;

int AsInt(HANDLE handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }
int AsInt(DWORD value) { return static_cast<int>(value); }

struct StartedProcess {
  UniqueKernelHandle process;
  UniqueKernelHandle thread;
};

// Starts a program on the interactive desktop, shown maximised, with the
// given token and environment block, in the service's own current folder.
bool StartOnUserDesktop(HANDLE token, const wchar_t* applicationName, std::wstring* commandLine,
                        void* environment, StartedProcess& started) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = const_cast<wchar_t*>(kInteractiveDesktop);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWMAXIMIZED;
  PROCESS_INFORMATION info{};
  if (!CreateProcessAsUserW(token, applicationName, commandLine ? commandLine->data() : nullptr,
                            nullptr, nullptr, FALSE, kGuiCreationFlags, environment, nullptr,
                            &startup, &info)) {
    return false;
  }
  started.process.reset(info.hProcess);
  started.thread.reset(info.hThread);
  return true;
}

// Starts OBS again as the signed-in user with a token fetched afresh, and
// records it in `restartedObs`. False, without a log line, when no token can
// be had for any active session; true otherwise, whether or not OBS started.
bool RestartObs(SessionApi& api, ServiceLog& log, DWORD sessionId, const std::wstring& obsPath,
                ObsLaunch& restartedObs) {
  UniqueKernelHandle token;
  if (api.ActiveConsoleSessionId() == kNoConsoleSession ||
      !api.QueryUserToken(sessionId, token.put())) {
    std::vector<SessionApi::Session> sessions;
    if (api.EnumerateSessions(true, sessions)) {
      for (const auto& session : sessions) {
        if (session.state == WTSActive && api.QueryUserToken(session.sessionId, token.put())) break;
      }
    }
  }
  if (!token) return false;
  if (api.Impersonate(token.get())) {
    ObsLaunch launched = LaunchProcessAsUser(api, obsPath, token.get());
    DWORD error = GetLastError();
    restartedObs = launched;
    api.Revert();
    if (launched.processId == 0)
      log.Print("Failed to restart OBS, GetLastError = %d", AsInt(error));
  } else {
    log.Print("ImpersonateLoggedOnUser failed GetLastError() = %d", AsInt(GetLastError()));
  }
  return true;
}

// An OBS running from `obsPath` (case ignored), as the watch loop lists it;
// processId 0 when there is none.
ObsLaunch FindRunningObs(const std::wstring& obsPath) {
  std::vector<ObsLaunch> running;
  WindowsFunctions::FindProcessesByName("obs64.exe", running);
  for (const ObsLaunch& launch : running) {
    if (CompareStringOrdinal(launch.filePath.c_str(), -1, obsPath.c_str(), -1, TRUE) ==
        CSTR_EQUAL) {
      ObsLaunch found = launch;
      found.filePath.clear();
      return found;
    }
  }
  return {};
}

// Waits for the installer. True once it has ended; false when the service
// was asked to stop and it was still running `stop.graceMs` later.
bool WaitForInstaller(ServiceLog& log, HANDLE process, const StopSignal& stop) {
  if (stop.running == nullptr) {
    WaitForSingleObject(process, INFINITE);
    return true;
  }
  while (WaitForSingleObject(process, kStopPollMs) == WAIT_TIMEOUT) {
    if (*stop.running) continue;
    log.Print("Service stop requested while the installer runs, waiting up to %d ms for it",
              static_cast<int>(stop.graceMs));
    return WaitForSingleObject(process, stop.graceMs) != WAIT_TIMEOUT;
  }
  return true;
}

}  // namespace

bool RunGuiProcess(const std::wstring& installerPath, const std::wstring& installerArguments,
                   const ObsLaunch& obsLaunch, uint32_t processId, const std::wstring& toFrontPath,
                   const std::wstring& userLaunchPath, ObsLaunch& restartedObs,
                   const StopSignal& stop) {
  SystemSessionApi api;
  return RunGuiProcess(api, ServiceLog::Instance(), installerPath, installerArguments, obsLaunch,
                       processId, toFrontPath, userLaunchPath, restartedObs, stop);
}

bool RunGuiProcess(SessionApi& api, ServiceLog& log, const std::wstring& installerPath,
                   const std::wstring& installerArguments, const ObsLaunch& obsLaunch,
                   uint32_t processId, const std::wstring& toFrontPath,
                   const std::wstring& userLaunchPath, ObsLaunch& restartedObs,
                   const StopSignal& stop) {
  if (stop.running != nullptr && !*stop.running) {
    log.Print("Service is stopping, the plugin is not updated now");
    return false;
  }
  const DWORD sessionId = GetActiveSessionId(api);
  const std::wstring& obsPath = obsLaunch.filePath;

  UniqueKernelHandle userToken;
  bool queried = api.QueryUserToken(sessionId, userToken.put());
  DWORD error = GetLastError();
  log.Print("Ran WTSQueryUserToken.");
  if (!queried) {
    log.Print("WTSQueryUserToken failed, GetLastError = %d, token = %d, sessionId = %d",
              AsInt(error), AsInt(userToken.get()), AsInt(sessionId));
    return false;
  }

  UniqueEnvironmentBlock environment;
  bool created = api.CreateEnvironment(userToken.get(), true, environment.put());
  error = GetLastError();
  log.Print("Ran CreateEnvironmentBlock.");
  if (!created) {
    log.Print("CreateEnvironmentBlock failed, GetLastError = %d, token = %d, sessionId = %d",
              AsInt(error), AsInt(userToken.get()), AsInt(sessionId));
    return false;
  }

  // Elevated: the linked token runs the installer itself. Limited: the
  // user's own token runs the user-launch tool, which asks for elevation.
  UniqueKernelHandle token;
  UniqueKernelHandle duplicate;
  HANDLE linked = nullptr;
  const bool elevated = api.LinkedToken(userToken.get(), &linked);
  error = GetLastError();
  log.Print("Ran GetTokenInformation.");
  if (elevated) {
    userToken.reset();
    token.reset(linked);
  } else {
    log.Print("GetTokenInformation failed, GetLastError = %d, token = %d, sessionId = %d",
              AsInt(error), AsInt(userToken.get()), AsInt(sessionId));
    userToken.reset();
    if (!api.QueryUserToken(GetActiveSessionId(api), token.put())) {
      error = GetLastError();
      log.Print("WTSQueryUserToken failed, GetLastError = %d, token = %d, sessionId = %d",
                AsInt(error), AsInt(token.get()), AsInt(sessionId));
      return false;
    }
    log.Print("Ran WTSQueryUserToken");
    if (!api.DuplicatePrimaryToken(token.get(), duplicate.put())) {
      error = GetLastError();
      log.Print("DuplicateTokenEx failed, GetLastError = %d, token = %d, sessionId = %d",
                AsInt(error), AsInt(duplicate.get()), AsInt(sessionId));
      return false;
    }
    log.Print("Ran DuplicateTokenEx");
    environment.reset();
    if (!api.CreateEnvironment(duplicate.get(), false, environment.put())) {
      error = GetLastError();
      log.Print("CreateEnvironmentBlock failed, GetLastError = %d, token = %d, sessionId = %d",
                AsInt(error), AsInt(duplicate.get()), AsInt(sessionId));
      return false;
    }
    log.Print("Ran CreateEnvironmentBlock");
  }

  // From here on OBS is stopped, and every way out starts it again if a
  // token for the user can be had.
  // The launch was seen a while ago: when the id now names a process that
  // started at another time, OBS has already ended and the id went to an
  // unrelated process, which is left alone. The open handle keeps the id
  // from passing on again until the tree is ended.
  UniqueKernelHandle stoppedObs(
      OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  const bool sameObs = obsLaunch.processStartDate == 0 ||
                       (stoppedObs && WindowsFunctions::GetProcessStartDate(stoppedObs.get()) ==
                                          obsLaunch.processStartDate);
  if (sameObs) {
    WindowsFunctions::TerminateProcessTree(processId);
  } else {
    stoppedObs.reset();
  }
  log.Print("Killed OBS, will now ImpersonateLoggedOnUser.");

  if (!api.Impersonate(token.get())) {
    error = GetLastError();
    log.Print("ImpersonateLoggedOnUser failed, GetLastError = %d, token = %d, sessionId = %d",
              AsInt(error), AsInt(token.get()), AsInt(sessionId));
    RestartObs(api, log, sessionId, obsPath, restartedObs);
    return false;
  }
  std::wstring applicationData;
  if (api.ApplicationDataFolder(applicationData)) {
    ClearObsSafeMode(applicationData);
    ClearObsSentinels(applicationData);
  }
  api.Revert();

  if (stoppedObs) WaitForSingleObject(stoppedObs.get(), kStoppedObsExitWaitMs);
  stoppedObs.reset();
  // While this handle is open nobody can open obs64.exe, so OBS cannot be
  // started during the install.
  UniqueFileHandle lock(CreateFileW(obsPath.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  error = GetLastError();
  log.Print("Ran CreateFileW (locking obs64.exe file)");
  if (!lock) {
    log.Print("Locking obs64.exe with CreateFileW failed, GetLastError = %d", AsInt(error));
    // The user may have started OBS again since it was stopped: that one
    // stays the only OBS, and is recorded so it is not taken for a new launch.
    ObsLaunch relaunched = FindRunningObs(obsPath);
    if (relaunched.processId != 0) {
      log.Print(
          "OBS was started again before obs64.exe could be locked, processId = %d; not "
          "starting another",
          AsInt(static_cast<DWORD>(relaunched.processId)));
      restartedObs = relaunched;
      return false;
    }
    RestartObs(api, log, sessionId, obsPath, restartedObs);
    return false;
  }
  Sleep(kBeforeInstallerMs);

  StartedProcess waited;
  if (elevated) {
    std::wstring commandLine = QuotedCommandLine(installerPath, installerArguments);
    bool started =
        StartOnUserDesktop(token.get(), nullptr, &commandLine, environment.get(), waited);
    error = GetLastError();
    log.Print("Ran CreateProcessAsUserW, the installer");
    if (!started) {
      lock.reset();
      log.Print("CreateProcessAsUserW failed, GetLastError = %d", AsInt(error));
      RestartObs(api, log, sessionId, obsPath, restartedObs);
      return false;
    }
    Sleep(kBeforeToFrontMs);
    StartedProcess toFront;
    StartOnUserDesktop(token.get(), toFrontPath.c_str(), nullptr, environment.get(), toFront);
    log.Print("Ran CreateProcessAsUserW, the installer to front app");
  } else {
    // A user-launch tool that does not start shows as a failed exit code below.
    std::wstring commandLine = QuotedCommandLine(userLaunchPath, installerArguments);
    StartOnUserDesktop(token.get(), nullptr, &commandLine, environment.get(), waited);
    log.Print("Ran CreateProcessAsUserW, the userlaunch app");
  }

  if (waited.process && !WaitForInstaller(log, waited.process.get(), stop)) {
    lock.reset();
    log.Print("The installer is still running; obs64.exe unlocked, OBS is not started again");
    return false;
  }
  lock.reset();
  log.Print("Going to run ImpersonateLoggedOnUser");
  if (!RestartObs(api, log, sessionId, obsPath, restartedObs)) return false;

  DWORD exitCode = 0;
  if (!GetExitCodeProcess(waited.process.get(), &exitCode)) {
    log.Print("GetExitCodeProcess failed GetLastError() = %d", AsInt(GetLastError()));
    return false;
  }
  log.Print("Ran GetExitCodeProcess, exitCode = %d", AsInt(exitCode));
  return exitCode == 0;
}
