#include "session/run_gui_process.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "common/command_line.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "log/service_log.h"
#include "process/windows_functions.h"
#include "session/impersonation.h"
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

// Waits for the installer. True once it has ended; false when the service
// was asked to stop and it was still running `stop.graceMs` later.
bool WaitForProcessOrStop(ServiceLog& log, HANDLE process, const StopSignal& stop) {
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

// Where a logged call of the run writes its "Ran" line: before its outcome
// ("Ran X."), only once it succeeded ("Ran X"), or not at all.
enum class RanLine { Before, OnSuccess, Never };

// One update run: the handles it holds, each owned here and released on
// every way out, and its steps in the order RunGuiProcess takes them.
class UpdateRun {
 public:
  UpdateRun(SessionApi& api, ServiceLog& log, const GuiProcessRequest& request,
            ObsLaunch& restartedObs, UniqueKernelHandle* restartedProcess)
      : api_(api),
        log_(log),
        request_(request),
        restartedObs_(restartedObs),
        restartedProcess_(restartedProcess) {}

  // The signed-in user's token and environment block. Elevated: the linked
  // token runs the installer itself. Limited: the user's own token runs the
  // user-launch tool, which asks for elevation. Unelevated (asked for): the
  // user's own token runs the installer itself.
  bool GetUserToken();
  // False, logged, when the token the run took is not of the user OBS runs
  // as (obsUser, when given).
  bool TokenOfObsUser();
  void StopObs();
  // Clears OBS's crash markers in the user's own profile, impersonating the
  // user's own token, never the elevated one: the profile is the user's to
  // fill with links, and what the cleanup may delete is then only what the
  // user may delete anyway.
  bool ClearMarkers();
  // While the lock is held nobody can open obs64.exe, so OBS cannot be
  // started during the install. On false OBS runs again or is recorded.
  bool LockObsExe();
  // An OBS running from the path of the one stopped (case ignored), as the
  // watch loop lists it, in that one's session and as its user, with a
  // handle to it in `process` (SYNCHRONIZE) opened while it was vetted;
  // processId 0 when there is none. Another's OBS of the same path (quite possibly why
  // the lock failed) is left alone and is no relaunch of this one.
  ObsLaunch FindRelaunchedObs(UniqueKernelHandle& process);
  bool StartInstaller();
  // False when the service was asked to stop and the installer outlived its
  // grace. obs64.exe is unlocked either way.
  bool WaitForInstaller();
  // Starts OBS again as the signed-in user with a token fetched afresh, and
  // records it in restartedObs. False when no token can be had for any
  // active session (not logged) or the token is not of the user OBS ran as
  // (logged); true otherwise, whether or not OBS started.
  bool RestartObs();
  // For a run that cannot go on once OBS is stopped: starts it again.
  bool FailAndRestartObs() {
    RestartObs();
    return false;
  }
  bool InstallerSucceeded();

 private:
  // Runs `call`, a Windows call named `name` that leaves its reason in the
  // last error, and logs it the way every token step of the run is logged:
  // its "Ran" line as `ran` says, and a failure as "<name> failed,
  // GetLastError = %d, token = %d, sessionId = %d" with `token` as it stands
  // after the call. Returns what the call returned.
  template <typename Call>
  bool Logged(const char* name, RanLine ran, const UniqueKernelHandle& token, Call call) {
    const bool ok = call();
    const DWORD error = GetLastError();
    if (ran == RanLine::Before) log_.Print("Ran %s.", name);
    if (!ok) {
      log_.Print("%s failed, GetLastError = %d, token = %d, sessionId = %d", name, AsInt(error),
                 AsInt(token.get()), AsInt(sessionId_));
    } else if (ran == RanLine::OnSuccess) {
      log_.Print("Ran %s", name);
    }
    return ok;
  }
  bool GetLimitedToken();
  bool IsObsUsersToken(HANDLE token) {
    std::vector<unsigned char> user;
    return request_.obsUser.empty() || (api_.TokenUserSid(token, user) && user == request_.obsUser);
  }
  const std::wstring& obsPath() const { return request_.obsLaunch.filePath; }
  // Elevated: the linked token (token_) runs the installer itself, and
  // ownToken_ holds the user's own. Limited and unelevated: token_ is the
  // user's own.
  enum class Mode { Limited, Elevated, Unelevated };
  const UniqueKernelHandle& ownToken() const {
    return mode_ == Mode::Elevated ? ownToken_ : token_;
  }

  SessionApi& api_;
  ServiceLog& log_;
  const GuiProcessRequest& request_;
  ObsLaunch& restartedObs_;
  UniqueKernelHandle* restartedProcess_;
  DWORD sessionId_ = 0;
  Mode mode_ = Mode::Limited;
  UniqueKernelHandle token_;
  UniqueKernelHandle ownToken_;   // elevated only: the user's own, unelevated token
  UniqueKernelHandle duplicate_;  // limited only: the token of the environment block
  UniqueEnvironmentBlock environment_;
  UniqueKernelHandle stoppedObs_;
  // The session the stopped OBS ran in, read before it was stopped.
  std::optional<DWORD> stoppedObsSession_;
  UniqueFileHandle lock_;
  StartedProcess waited_;  // the installer, or the user-launch tool
};

bool UpdateRun::GetUserToken() {
  sessionId_ = GetActiveSessionId(api_);
  UniqueKernelHandle userToken;
  // Unelevated, nothing of the service's own environment goes along.
  const bool inherit = !request_.withoutElevation;
  if (!Logged("WTSQueryUserToken", RanLine::Before, userToken,
              [&] { return api_.QueryUserToken(sessionId_, userToken.put()); }) ||
      !Logged("CreateEnvironmentBlock", RanLine::Before, userToken, [&] {
        return api_.CreateEnvironment(userToken.get(), inherit, environment_.put());
      })) {
    return false;
  }
  if (request_.withoutElevation) {
    token_ = std::move(userToken);
    mode_ = Mode::Unelevated;
    return true;
  }
  HANDLE linked = nullptr;
  if (!Logged("GetTokenInformation", RanLine::Before, userToken,
              [&] { return api_.LinkedToken(userToken.get(), &linked); })) {
    userToken.reset();
    return GetLimitedToken();
  }
  token_.reset(linked);
  ownToken_ = std::move(userToken);
  mode_ = Mode::Elevated;
  return true;
}

bool UpdateRun::GetLimitedToken() {
  return Logged("WTSQueryUserToken", RanLine::OnSuccess, token_,
                [&] { return api_.QueryUserToken(GetActiveSessionId(api_), token_.put()); }) &&
         Logged("DuplicateTokenEx", RanLine::OnSuccess, duplicate_,
                [&] { return api_.DuplicatePrimaryToken(token_.get(), duplicate_.put()); }) &&
         Logged("CreateEnvironmentBlock", RanLine::OnSuccess, duplicate_, [&] {
           return api_.CreateEnvironment(duplicate_.get(), false, environment_.put());
         });
}

bool UpdateRun::TokenOfObsUser() {
  if (IsObsUsersToken(ownToken().get())) return true;
  log_.Print("Not updating %s: the active session's user is not the one it runs as",
             ToUtf8(obsPath()).c_str());
  return false;
}

void UpdateRun::StopObs() {
  // The launch was seen a while ago: when the id now names a process that
  // started at another time, OBS has already ended and the id went to an
  // unrelated process, which is left alone. The open handle keeps the id
  // from passing on again until the tree is ended.
  const ObsLaunch& obs = request_.obsLaunch;
  stoppedObs_ = WindowsFunctions::OpenLaunchedProcess(obs, SYNCHRONIZE);
  DWORD session = 0;
  if (stoppedObs_ && api_.ProcessSessionId(static_cast<DWORD>(obs.processId), &session)) {
    stoppedObsSession_ = session;
  }
  if (stoppedObs_ || obs.processStartDate == 0) {
    WindowsFunctions::TerminateProcessTree(static_cast<DWORD>(obs.processId));
  }
  log_.Print("Killed OBS, will now ImpersonateLoggedOnUser.");
}

bool UpdateRun::ClearMarkers() {
  const UniqueKernelHandle& own = ownToken();
  ScopedImpersonation asUser(api_, log_, own.get());
  if (!Logged("ImpersonateLoggedOnUser", RanLine::Never, own, [&] { return asUser.ok(); })) {
    return false;
  }
  std::wstring applicationData;
  if (api_.ApplicationDataFolder(applicationData)) {
    ClearObsSafeMode(log_, applicationData);
    ClearObsSentinels(log_, applicationData);
  }
  return true;
}

bool UpdateRun::LockObsExe() {
  if (stoppedObs_) WaitForSingleObject(stoppedObs_.get(), kStoppedObsExitWaitMs);
  stoppedObs_.reset();
  lock_.reset(CreateFileW(obsPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  const DWORD error = GetLastError();
  log_.Print("Ran CreateFileW (locking obs64.exe file)");
  if (lock_) return true;
  log_.Print("Locking obs64.exe with CreateFileW failed, GetLastError = %d", AsInt(error));
  // The user may have started OBS again since it was stopped: that one
  // stays the only OBS, and is recorded so it is not taken for a new launch.
  UniqueKernelHandle process;
  const ObsLaunch relaunched = FindRelaunchedObs(process);
  if (relaunched.processId == 0) return FailAndRestartObs();
  log_.Print(
      "OBS was started again before obs64.exe could be locked, processId = %d; not starting "
      "another",
      AsInt(static_cast<DWORD>(relaunched.processId)));
  restartedObs_ = relaunched;
  if (restartedProcess_) *restartedProcess_ = std::move(process);
  return false;
}

ObsLaunch UpdateRun::FindRelaunchedObs(UniqueKernelHandle& process) {
  std::vector<unsigned char> obsUser = request_.obsUser;
  if (!stoppedObsSession_ || (obsUser.empty() && !api_.TokenUserSid(ownToken().get(), obsUser))) {
    return {};
  }
  std::vector<ObsLaunch> running;
  WindowsFunctions::FindProcessesByName("obs64.exe", running);
  for (const ObsLaunch& launch : running) {
    if (CompareStringOrdinal(launch.filePath.c_str(), -1, obsPath().c_str(), -1, TRUE) !=
        CSTR_EQUAL) {
      continue;
    }
    // Kept open for whoever watches the one found: its id names it meanwhile.
    process = WindowsFunctions::OpenLaunchedProcess(launch, SYNCHRONIZE);
    DWORD session = 0;
    UniqueKernelHandle token;
    std::vector<unsigned char> user;
    if (process && api_.ProcessSessionId(static_cast<DWORD>(launch.processId), &session) &&
        session == *stoppedObsSession_ && api_.ProcessToken(process.get(), token.put()) &&
        api_.TokenUserSid(token.get(), user) && user == obsUser) {
      ObsLaunch found = launch;
      found.filePath.clear();
      return found;
    }
    log_.Print(
        "Not taking the OBS of processId = %d for the one started again: it does not run in the "
        "session and as the user of the one stopped",
        AsInt(static_cast<DWORD>(launch.processId)));
  }
  process.reset();
  return {};
}

bool UpdateRun::StartInstaller() {
  Sleep(kBeforeInstallerMs);
  if (mode_ == Mode::Limited) {
    // A user-launch tool that does not start shows as a failed exit code.
    std::wstring commandLine =
        QuotedCommandLine(request_.userLaunchPath, request_.installerArguments);
    StartOnUserDesktop(token_.get(), nullptr, &commandLine, environment_.get(), waited_);
    log_.Print("Ran CreateProcessAsUserW, the userlaunch app");
    return true;
  }
  std::wstring commandLine = QuotedCommandLine(request_.installerPath, request_.installerArguments);
  const bool started =
      StartOnUserDesktop(token_.get(), nullptr, &commandLine, environment_.get(), waited_);
  const DWORD error = GetLastError();
  log_.Print("Ran CreateProcessAsUserW, the installer");
  if (!started) {
    lock_.reset();
    log_.Print("CreateProcessAsUserW failed, GetLastError = %d", AsInt(error));
    return false;
  }
  Sleep(kBeforeToFrontMs);
  StartedProcess toFront;
  StartOnUserDesktop(token_.get(), request_.toFrontPath.c_str(), nullptr, environment_.get(),
                     toFront);
  log_.Print("Ran CreateProcessAsUserW, the installer to front app");
  return true;
}

bool UpdateRun::WaitForInstaller() {
  const bool ended =
      !waited_.process || WaitForProcessOrStop(log_, waited_.process.get(), request_.stop);
  lock_.reset();
  if (!ended) {
    log_.Print("The installer is still running; obs64.exe unlocked, OBS is not started again");
  }
  return ended;
}

bool UpdateRun::RestartObs() {
  UniqueKernelHandle token;
  if (api_.ActiveConsoleSessionId() == kNoConsoleSession ||
      !api_.QueryUserToken(sessionId_, token.put())) {
    std::vector<SessionApi::Session> sessions;
    if (api_.EnumerateSessions(true, sessions)) {
      for (const auto& session : sessions) {
        if (session.state == WTSActive && api_.QueryUserToken(session.sessionId, token.put())) {
          break;
        }
      }
    }
  }
  if (!token) return false;
  if (!IsObsUsersToken(token.get())) {
    log_.Print("Not starting OBS again: the active session's user is not the one it ran as");
    return false;
  }
  DWORD error = 0;
  {
    ScopedImpersonation asUser(api_, log_, token.get());
    if (!asUser.ok()) {
      log_.Print("ImpersonateLoggedOnUser failed GetLastError() = %d", AsInt(GetLastError()));
      return true;
    }
    restartedObs_ = LaunchProcessAsUser(api_, obsPath(), token.get(), restartedProcess_);
    error = GetLastError();
  }
  if (restartedObs_.processId == 0) {
    log_.Print("Failed to restart OBS, GetLastError = %d", AsInt(error));
  }
  return true;
}

bool UpdateRun::InstallerSucceeded() {
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(waited_.process.get(), &exitCode)) {
    log_.Print("GetExitCodeProcess failed GetLastError() = %d", AsInt(GetLastError()));
    return false;
  }
  log_.Print("Ran GetExitCodeProcess, exitCode = %d", AsInt(exitCode));
  return exitCode == 0;
}

}  // namespace

bool RunGuiProcess(const GuiProcessRequest& request, ObsLaunch& restartedObs,
                   UniqueKernelHandle* restartedProcess) {
  SystemSessionApi api;
  return RunGuiProcess(api, ServiceLog::Instance(), request, restartedObs, restartedProcess);
}

bool RunGuiProcess(SessionApi& api, ServiceLog& log, const GuiProcessRequest& request,
                   ObsLaunch& restartedObs, UniqueKernelHandle* restartedProcess) {
  if (request.stop.running != nullptr && !*request.stop.running) {
    log.Print("Service is stopping, the plugin is not updated now");
    return false;
  }
  UpdateRun run(api, log, request, restartedObs, restartedProcess);
  if (!run.GetUserToken() || !run.TokenOfObsUser()) return false;
  // From here on OBS is stopped, and every way out starts it again if a
  // token for the user can be had.
  run.StopObs();
  if (!run.ClearMarkers()) return run.FailAndRestartObs();
  if (!run.LockObsExe()) return false;
  if (!run.StartInstaller()) return run.FailAndRestartObs();
  if (!run.WaitForInstaller()) return false;
  log.Print("Going to run ImpersonateLoggedOnUser");
  if (!run.RestartObs()) return false;
  return run.InstallerSucceeded();
}
