#include "session/session_api.h"

#include <userenv.h>

#include "session/obs_markers.h"

namespace {

template <typename Info>
void CopySessions(const Info* info, DWORD count, std::vector<SessionApi::Session>& sessions) {
  for (DWORD i = 0; i < count; ++i) sessions.push_back({info[i].SessionId, info[i].State});
}

}  // namespace

bool SystemSessionApi::EnumerateSessions(bool wide, std::vector<Session>& sessions) {
  DWORD count = 0;
  if (wide) {
    WTS_SESSION_INFOW* info = nullptr;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) return false;
    CopySessions(info, count, sessions);
    WTSFreeMemory(info);
  } else {
    WTS_SESSION_INFOA* info = nullptr;
    if (!WTSEnumerateSessionsA(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) return false;
    CopySessions(info, count, sessions);
    WTSFreeMemory(info);
  }
  return true;
}

DWORD SystemSessionApi::ActiveConsoleSessionId() { return WTSGetActiveConsoleSessionId(); }

bool SystemSessionApi::QueryUserToken(DWORD sessionId, HANDLE* token) {
  return WTSQueryUserToken(sessionId, token) != FALSE;
}

bool SystemSessionApi::LinkedToken(HANDLE token, HANDLE* linkedToken) {
  DWORD size = 0;
  return GetTokenInformation(token, TokenLinkedToken, linkedToken, sizeof(HANDLE), &size) != FALSE;
}

bool SystemSessionApi::DuplicatePrimaryToken(HANDLE token, HANDLE* duplicate) {
  return DuplicateTokenEx(token, MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary,
                          duplicate) != FALSE;
}

bool SystemSessionApi::CreateEnvironment(HANDLE token, bool inherit, void** environment) {
  return CreateEnvironmentBlock(environment, token, inherit ? TRUE : FALSE) != FALSE;
}

bool SystemSessionApi::Impersonate(HANDLE token) { return ImpersonateLoggedOnUser(token) != FALSE; }

bool SystemSessionApi::Revert() { return RevertToSelf() != FALSE; }

bool SystemSessionApi::ApplicationDataFolder(std::wstring& folder) {
  return CurrentApplicationDataFolder(folder);
}

bool SystemSessionApi::ProcessSessionId(DWORD processId, DWORD* sessionId) {
  return ProcessIdToSessionId(processId, sessionId) != FALSE;
}

bool SystemSessionApi::ProcessToken(HANDLE process, HANDLE* token) {
  return OpenProcessToken(process, TOKEN_QUERY, token) != FALSE;
}

bool SystemSessionApi::TokenUserSid(HANDLE token, std::vector<unsigned char>& sid) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  // TOKEN_USER points into the same buffer, so it must be aligned for it.
  std::vector<TOKEN_USER> buffer(size / sizeof(TOKEN_USER) + 1);
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return false;
  const PSID user = buffer[0].User.Sid;
  const auto* bytes = static_cast<const unsigned char*>(user);
  sid.assign(bytes, bytes + GetLengthSid(user));
  return true;
}

bool SystemSessionApi::TokenSessionId(HANDLE token, DWORD* sessionId) {
  DWORD size = 0;
  return GetTokenInformation(token, ::TokenSessionId, sessionId, sizeof(DWORD), &size) != FALSE;
}
