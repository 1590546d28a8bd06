#pragma once

#include <windows.h>
#include <wtsapi32.h>

#include <string>
#include <vector>

// The session and token calls of the user-session launcher, one virtual per
// system call, so that tests can stand in for the paths a test machine cannot
// produce (no signed-in user, no elevated linked token, a refused
// impersonation). Each call behaves like the system call it names and, on
// failure, leaves the reason in the thread's last-error code.
class SessionApi {
 public:
  struct Session {
    DWORD sessionId = 0;
    WTS_CONNECTSTATE_CLASS state = WTSDown;
  };

  virtual ~SessionApi() = default;

  // WTSEnumerateSessionsA (or W when `wide`) on the local server, version 1.
  virtual bool EnumerateSessions(bool wide, std::vector<Session>& sessions) = 0;
  // WTSGetActiveConsoleSessionId.
  virtual DWORD ActiveConsoleSessionId() = 0;
  // WTSQueryUserToken; `*token` is written only on success.
  virtual bool QueryUserToken(DWORD sessionId, HANDLE* token) = 0;
  // GetTokenInformation(TokenLinkedToken).
  virtual bool LinkedToken(HANDLE token, HANDLE* linkedToken) = 0;
  // DuplicateTokenEx: MAXIMUM_ALLOWED, SecurityIdentification, TokenPrimary.
  virtual bool DuplicatePrimaryToken(HANDLE token, HANDLE* duplicate) = 0;
  // CreateEnvironmentBlock; the block is released with DestroyEnvironmentBlock.
  virtual bool CreateEnvironment(HANDLE token, bool inherit, void** environment) = 0;
  // ImpersonateLoggedOnUser and RevertToSelf for the calling thread.
  virtual bool Impersonate(HANDLE token) = 0;
  virtual bool Revert() = 0;
  // The roaming application-data folder of the calling thread's current
  // token (see CurrentApplicationDataFolder): the user's only while
  // impersonating. `folder` is written only on success.
  virtual bool ApplicationDataFolder(std::wstring& folder) = 0;

  // Who runs a process and where, for telling the signed-in user's own OBS
  // from another's. ProcessIdToSessionId.
  virtual bool ProcessSessionId(DWORD processId, DWORD* sessionId) = 0;
  // OpenProcessToken with TOKEN_QUERY on a process handle.
  virtual bool ProcessToken(HANDLE process, HANDLE* token) = 0;
  // GetTokenInformation(TokenUser): the token's user SID, as its bytes.
  virtual bool TokenUserSid(HANDLE token, std::vector<unsigned char>& sid) = 0;
  // GetTokenInformation(TokenSessionId).
  virtual bool TokenSessionId(HANDLE token, DWORD* sessionId) = 0;
};

// The real calls.
class SystemSessionApi : public SessionApi {
 public:
  bool EnumerateSessions(bool wide, std::vector<Session>& sessions) override;
  DWORD ActiveConsoleSessionId() override;
  bool QueryUserToken(DWORD sessionId, HANDLE* token) override;
  bool LinkedToken(HANDLE token, HANDLE* linkedToken) override;
  bool DuplicatePrimaryToken(HANDLE token, HANDLE* duplicate) override;
  bool CreateEnvironment(HANDLE token, bool inherit, void** environment) override;
  bool Impersonate(HANDLE token) override;
  bool Revert() override;
  bool ApplicationDataFolder(std::wstring& folder) override;
  bool ProcessSessionId(DWORD processId, DWORD* sessionId) override;
  bool ProcessToken(HANDLE process, HANDLE* token) override;
  bool TokenUserSid(HANDLE token, std::vector<unsigned char>& sid) override;
  bool TokenSessionId(HANDLE token, DWORD* sessionId) override;
};
