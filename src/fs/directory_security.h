#pragma once

#include <windows.h>

#include <string>

#include "common/unique_handle.h"

// The access list of the service's own folders (its state folder under
// ProgramData and the folder it downloads its installer into): LocalSystem
// and Administrators full control, Users read and execute, inherited by
// everything inside, and protected from the parent's entries. Under it a
// standard user can neither plant nor replace a file the service writes or
// runs.
inline constexpr wchar_t ProtectedDirectorySddl[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

// The same list with LocalSystem as the owner, for a folder the service
// creates as its own.
inline constexpr wchar_t ServiceOwnedDirectorySddl[] =
    L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

// That list (or the descriptor `sddl`) as SECURITY_ATTRIBUTES for
// CreateDirectoryA/W.
class ProtectedDirectorySecurity {
 public:
  explicit ProtectedDirectorySecurity(const wchar_t* sddl = ProtectedDirectorySddl);
  ProtectedDirectorySecurity(const ProtectedDirectorySecurity&) = delete;
  ProtectedDirectorySecurity& operator=(const ProtectedDirectorySecurity&) = delete;

  // Null when the descriptor could not be built (the last error says why).
  SECURITY_ATTRIBUTES* attributes() { return descriptor_ ? &attributes_ : nullptr; }

 private:
  UniqueLocalMemory descriptor_;
  SECURITY_ATTRIBUTES attributes_{};
};

// Creates the folder `path` (one level) with the protected list. False, with
// the last error set, when the list cannot be built or the folder not
// created (ERROR_ALREADY_EXISTS when it exists already).
bool CreateProtectedDirectory(const std::wstring& path);

// CreateProtectedDirectory with LocalSystem as the owner; where this process
// may not give the folder that owner (an elevated administrator that is not
// LocalSystem), it gets the default owner, the Administrators group.
bool CreateServiceOwnedDirectory(const std::wstring& path);

// True for the accounts the service's folders may belong to and be written
// by: LocalSystem, Administrators and this process's own account.
bool IsTrustedAccount(PSID sid);

// IsTrustedAccount for the owner of the file or folder at `path` (a link
// is followed). False when the owner cannot be read (`readable` tells which,
// the last error why); `owner` receives the owner's SID as text when read.
bool HasTrustedOwner(const std::wstring& path, std::wstring* owner = nullptr,
                     bool* readable = nullptr);

// True when the access list `dacl` lets anyone other than LocalSystem,
// Administrators and this process's own account do more than read and
// execute, in the folder or (through inheritance) in what is created inside
// it; also when there is no list at all (null).
bool AccessListGrantsOthersWrite(const ACL* dacl);

// True when anyone other than LocalSystem, Administrators, TrustedInstaller,
// the creator-owner entry and this process's own account may change what a
// folder with this owner and access list holds: the owner is none of them
// (an owner may always give themselves more rights), or `dacl` grants
// anyone else more than reading and executing (in the folder or, inherited,
// in what is created inside it), or there is no list.
bool LetsOthersChange(PSID owner, const ACL* dacl);

// LetsOthersChange for the folder at `path` itself, its owner and list read
// through a handle that does not follow a link. True as well when they
// cannot be read (`readable` false, the last error says why): the caller
// then lends no rights.
bool FolderLetsOthersChange(const std::wstring& path, bool* readable = nullptr);

// AccessListGrantsOthersWrite for the folder's current list. False when the
// list cannot be read (`readable` tells which, the last error why).
bool DirectoryGrantsOthersWrite(const std::wstring& path, bool* readable = nullptr);

// Gives the folder the protected list, replacing its own entries and those
// it inherited (its files and folders inherit the new ones). False, with the
// last error set, on failure.
bool ApplyProtectedDirectoryList(const std::wstring& path);

// ApplyProtectedDirectoryList when DirectoryGrantsOthersWrite says so (or the
// list cannot be read). Returns 1 when it replaced the list, 0 when the list
// was sound already, and -1 on failure with the last error set.
int ProtectExistingDirectory(const std::wstring& path);
