#pragma once

#include <windows.h>

class ServiceLog;
class SessionApi;

// The exit code of a service ended because a thread could not stop
// impersonating a user: ERROR_CANNOT_IMPERSONATE, or the revert's own error.
inline constexpr DWORD FailedRevertExitCode = ERROR_CANNOT_IMPERSONATE;

// The calling thread acts as the user of a token for as long as the object
// lives, and as itself again on every way out of the scope, an exception's
// included. Every impersonation of the service goes through it.
//
// A thread that cannot revert must never go on: it would carry on the
// service's work, pass after pass, as the user. The destructor then ends
// the process at once (TerminateProcess, exit code the revert's error or
// FailedRevertExitCode), after one line in the log, if the log can still
// be written.
class ScopedImpersonation {
 public:
  // ImpersonateLoggedOnUser with `token` through `api`. ok() tells whether
  // it took; when not, the last error says why and nothing is reverted.
  ScopedImpersonation(SessionApi& api, ServiceLog& log, HANDLE token);
  ~ScopedImpersonation();
  ScopedImpersonation(const ScopedImpersonation&) = delete;
  ScopedImpersonation& operator=(const ScopedImpersonation&) = delete;

  bool ok() const { return impersonating_; }

 private:
  SessionApi& api_;
  ServiceLog& log_;
  bool impersonating_;
};
