#include "session/obs_owner.h"

#include <windows.h>

#include <utility>
#include <vector>

#include "common/text.h"
#include "common/unique_handle.h"
#include "log/service_log.h"
#include "process/windows_functions.h"
#include "session/session_api.h"
#include "session/user_session.h"

namespace {

int AsInt(DWORD value) { return static_cast<int>(value); }

// The checks in order, each ending the check with its log line when it fails.
class OwnerCheck {
 public:
  OwnerCheck(SessionApi& api, ServiceLog& log, const ObsLaunch& launch)
      : api_(api), log_(log), launch_(launch), path_(ToUtf8(launch.filePath)) {}

  std::vector<unsigned char> obsUser;

  bool Run() {
    // The handle keeps the process id from passing to another process while
    // the checks run.
    process_.reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                               static_cast<DWORD>(launch_.processId)));
    if (!process_) return Failed("OpenProcess");
    // The id still names an ended process while anyone holds a handle to
    // it, as the watch loop does to learn how it ended.
    DWORD exitCode = 0;
    if ((launch_.processStartDate != 0 &&
         WindowsFunctions::GetProcessStartDate(process_.get()) != launch_.processStartDate) ||
        (GetExitCodeProcess(process_.get(), &exitCode) && exitCode != STILL_ACTIVE)) {
      log_.Print("Not checking %s: its process has ended", path_.c_str());
      return false;
    }
    DWORD processSession = 0;
    if (!api_.ProcessSessionId(static_cast<DWORD>(launch_.processId), &processSession)) {
      return Failed("ProcessIdToSessionId");
    }
    // The session is the one whose user token the update run takes; the
    // token says which session it belongs to.
    DWORD activeSession = GetActiveSessionId(api_);
    UniqueKernelHandle userToken;
    if (!api_.QueryUserToken(activeSession, userToken.put())) {
      const DWORD error = GetLastError();
      if (processSession != activeSession) return OtherSession(processSession, activeSession);
      SetLastError(error);
      return Failed("WTSQueryUserToken");
    }
    if (!api_.TokenSessionId(userToken.get(), &activeSession)) {
      return Failed("GetTokenInformation");
    }
    if (processSession != activeSession) return OtherSession(processSession, activeSession);

    UniqueKernelHandle processToken;
    std::vector<unsigned char> sessionUser;
    if (!api_.ProcessToken(process_.get(), processToken.put())) return Failed("OpenProcessToken");
    if (!api_.TokenUserSid(processToken.get(), obsUser) ||
        !api_.TokenUserSid(userToken.get(), sessionUser)) {
      return Failed("GetTokenInformation");
    }
    if (obsUser != sessionUser) {
      log_.Print("Not checking %s: it runs as another user", path_.c_str());
      return false;
    }
    return true;
  }

 private:
  bool Failed(const char* call) {
    const DWORD error = GetLastError();
    log_.Print("Not checking %s: %s failed, GetLastError = %d", path_.c_str(), call, AsInt(error));
    return false;
  }
  bool OtherSession(DWORD processSession, DWORD activeSession) {
    log_.Print("Not checking %s: it runs in session %d, not the active session %d", path_.c_str(),
               AsInt(processSession), AsInt(activeSession));
    return false;
  }

  SessionApi& api_;
  ServiceLog& log_;
  const ObsLaunch& launch_;
  const std::string path_;
  UniqueKernelHandle process_;
};

}  // namespace

bool IsActiveUsersObs(SessionApi& api, ServiceLog& log, const ObsLaunch& launch,
                      std::vector<unsigned char>* user) {
  OwnerCheck check(api, log, launch);
  if (!check.Run()) return false;
  if (user) *user = std::move(check.obsUser);
  return true;
}
