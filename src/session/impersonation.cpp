#include "session/impersonation.h"

#include "log/service_log.h"
#include "session/session_api.h"

ScopedImpersonation::ScopedImpersonation(SessionApi& api, ServiceLog& log, HANDLE token)
    : api_(api), log_(log), impersonating_(api.Impersonate(token)) {}

ScopedImpersonation::~ScopedImpersonation() {
  if (!impersonating_ || api_.Revert()) return;
  const DWORD error = GetLastError();
  log_.Print(
      "Reverting to the service's own token with RevertToSelf failed, GetLastError = %d: "
      "ending the service",
      static_cast<int>(error));
  TerminateProcess(GetCurrentProcess(), error != 0 ? error : FailedRevertExitCode);
}
