#include "fs/directory_security.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "fs/path_checks.h"

namespace {

constexpr ACCESS_MASK kReadRights =
    FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | GENERIC_READ | GENERIC_EXECUTE;

// The token user of this process: LocalSystem for the service. It may write
// to its own folders whatever the list says.
std::vector<BYTE> ProcessUserSid() {
  HANDLE rawToken = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return {};
  UniqueKernelHandle token(rawToken);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
    return {};
  }
  PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  return std::vector<BYTE>(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
}

bool IsTrusted(PSID sid, const std::vector<BYTE>& processUser) {
  return IsWellKnownSid(sid, WinLocalSystemSid) ||
         IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         (!processUser.empty() && EqualSid(sid, const_cast<BYTE*>(processUser.data())));
}

// The account Windows installs its own files as.
bool IsTrustedInstaller(PSID sid) {
  static const std::vector<BYTE> trustedInstaller = [] {
    PSID parsed = nullptr;
    std::vector<BYTE> bytes;
    if (ConvertStringSidToSidW(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464",
                               &parsed)) {
      UniqueLocalMemory owned(parsed);
      bytes.assign(static_cast<BYTE*>(parsed), static_cast<BYTE*>(parsed) + GetLengthSid(parsed));
    }
    return bytes;
  }();
  return !trustedInstaller.empty() && EqualSid(sid, const_cast<BYTE*>(trustedInstaller.data()));
}

bool IsDenyAce(BYTE type) {
  return type == ACCESS_DENIED_ACE_TYPE || type == ACCESS_DENIED_OBJECT_ACE_TYPE ||
         type == ACCESS_DENIED_CALLBACK_ACE_TYPE || type == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE;
}

}  // namespace

ProtectedDirectorySecurity::ProtectedDirectorySecurity(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return;
  }
  descriptor_.reset(descriptor);
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = descriptor;
  attributes_.bInheritHandle = FALSE;
}

bool CreateProtectedDirectory(const std::wstring& path) {
  ProtectedDirectorySecurity security;
  if (!security.attributes()) return false;
  return CreateDirectoryW(path.c_str(), security.attributes()) != FALSE;
}

bool CreateServiceOwnedDirectory(const std::wstring& path) {
  {
    ProtectedDirectorySecurity security(ServiceOwnedDirectorySddl);
    if (!security.attributes()) return false;
    if (CreateDirectoryW(path.c_str(), security.attributes())) return true;
    if (GetLastError() != ERROR_INVALID_OWNER) return false;
  }
  return CreateProtectedDirectory(path);
}

bool IsTrustedAccount(PSID sid) { return IsTrusted(sid, ProcessUserSid()); }

bool HasTrustedOwner(const std::wstring& path, std::wstring* owner, bool* readable) {
  PSID ownerSid = nullptr;
  PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
  DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                      &ownerSid, nullptr, nullptr, nullptr, &rawDescriptor);
  if (readable) *readable = error == ERROR_SUCCESS;
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return false;
  }
  UniqueLocalMemory descriptor(rawDescriptor);
  if (ownerSid == nullptr) return false;
  if (owner) {
    wchar_t* text = nullptr;
    if (ConvertSidToStringSidW(ownerSid, &text)) {
      UniqueLocalMemory ownedText(text);
      *owner = text;
    }
  }
  return IsTrustedAccount(ownerSid);
}

namespace {

// True when `dacl` grants anyone for whom `trusted` is false more than
// reading and executing; also when there is no list at all.
template <typename Trusted>
bool GrantsWriteBeyond(const ACL* dacl, Trusted trusted) {
  if (dacl == nullptr) return true;  // no list: everyone may do everything
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(const_cast<ACL*>(dacl), i, &ace)) return true;
    BYTE type = static_cast<ACE_HEADER*>(ace)->AceType;
    if (IsDenyAce(type)) continue;
    // Object and callback grants have no place on a folder; assume the worst.
    if (type != ACCESS_ALLOWED_ACE_TYPE) return true;
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    // Inherit-only entries count too: they are what new files get (the
    // creator-owner entry of ProgramData, say).
    if (!trusted(&allowed->SidStart) && (allowed->Mask & ~kReadRights) != 0) return true;
  }
  return false;
}

}  // namespace

bool AccessListGrantsOthersWrite(const ACL* dacl) {
  const std::vector<BYTE> processUser = ProcessUserSid();
  return GrantsWriteBeyond(dacl, [&](PSID sid) { return IsTrusted(sid, processUser); });
}

bool LetsOthersChange(PSID owner, const ACL* dacl) {
  const std::vector<BYTE> processUser = ProcessUserSid();
  const auto trusted = [&](PSID sid) {
    return IsTrusted(sid, processUser) || IsTrustedInstaller(sid);
  };
  // An owner may always give themselves more rights.
  if (owner == nullptr || !trusted(owner)) return true;
  // The creator-owner entry gives rights only to whoever may create
  // something there in the first place.
  return GrantsWriteBeyond(
      dacl, [&](PSID sid) { return trusted(sid) || IsWellKnownSid(sid, WinCreatorOwnerSid); });
}

bool FolderLetsOthersChange(const std::wstring& path, bool* readable) {
  if (readable) *readable = false;
  UniqueFileHandle folder =
      OpenWithoutLinks(path, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (!folder) return true;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
  const DWORD error = GetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                      &owner, nullptr, &dacl, nullptr, &rawDescriptor);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return true;
  }
  UniqueLocalMemory descriptor(rawDescriptor);
  if (readable) *readable = true;
  return LetsOthersChange(owner, dacl);
}

bool DirectoryGrantsOthersWrite(const std::wstring& path, bool* readable) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
  DWORD error = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, &dacl, nullptr, &rawDescriptor);
  if (readable) *readable = error == ERROR_SUCCESS;
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return false;
  }
  UniqueLocalMemory descriptor(rawDescriptor);
  return AccessListGrantsOthersWrite(dacl);
}

bool ApplyProtectedDirectoryList(const std::wstring& path) {
  ProtectedDirectorySecurity security;
  if (!security.attributes()) return false;
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(security.attributes()->lpSecurityDescriptor, &present, &dacl,
                                 &defaulted)) {
    return false;
  }
  DWORD error =
      SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, dacl, nullptr);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return false;
  }
  return true;
}

int ProtectExistingDirectory(const std::wstring& path) {
  bool readable = false;
  if (!DirectoryGrantsOthersWrite(path, &readable) && readable) return 0;
  return ApplyProtectedDirectoryList(path) ? 1 : -1;
}
