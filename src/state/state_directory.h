#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/windows_directory.h"
#include "state/state_files.h"

// The state directory: the drive root of the Windows directory
// (WindowsDriveRoot) followed by "ProgramData/LumenfeldService/", e.g.
// "C:\ProgramData/LumenfeldService/". Empty, with the last error of the
// failed query, when the Windows directory cannot be read; `query` stands in
// for GetWindowsDirectoryW.
std::wstring GetStateDirectory(WindowsDirectoryQuery query = GetWindowsDirectoryW);

// The same path from a given Windows directory (first three characters kept).
std::wstring StateDirectoryFor(const std::wstring& windowsDirectory);

// The state directory as GetStateDirectory gives it, in the form paths are
// handed on, compared and shown in: every separator "\" and none at the end
// ("C:\ProgramData\LumenfeldService").
std::wstring NativeStateFolder(const std::wstring& stateDirectory);

// The trust check of the state folder or a folder in it, for a program that
// acts elevated on what it finds there (the downloader, on the folder it
// downloads into and the one an installer was staged in), changing nothing:
// the folder must lead to itself (no link anywhere on the way), be a folder,
// be owned by a trusted account (IsTrustedAccount) and have an access list
// that lets nobody else write (DirectoryGrantsOthersWrite). Empty when it
// passes; otherwise why, in a few words for a log: "missing", "a link to
// <where>", "not a folder", "owned by <SID>", "writable by others", or
// "<call> failed, GetLastError = <n>".
std::string ServiceFolderFault(const std::wstring& folder);

// ServiceFolderFault for `folder` after creating it when it is missing, as
// the service creates its folders (CreateServiceOwnedDirectory: owned by
// LocalSystem or Administrators, with the protected list). A folder someone
// else creates first is checked like any other.
std::string EnsureServiceFolder(const std::wstring& folder);

// Why the state folder cannot be kept: a link or junction (its files would
// land wherever it points), not a folder, or a folder whose owner is not
// trusted (the owner can always grant themselves write again).
enum class StateFolderFault { None, ReparsePoint, NotAFolder, ForeignOwner };

// The decision on the folder's attributes (GetFileAttributesW) and whether
// its owner is trusted (fs/directory_security.h).
StateFolderFault StateFolderFaultOf(DWORD attributes, bool ownerTrusted);

// What SecureStateDirectory found and did, for the log once it is open.
struct StateFolderOutcome {
  enum class Action {
    Kept,          // sound as it was
    ListReplaced,  // owner trusted, but its access list let users write
    ListFailed,    // that, and the list could not be replaced
    Created,       // it was missing
    Recreated,     // moved aside and created anew, values carried over
    Failed,        // none of that worked: nothing may be written there
  };
  Action action = Action::Kept;
  StateFolderFault fault = StateFolderFault::None;
  std::wstring owner;      // the foreign owner's SID, when that was the fault
  std::wstring asidePath;  // where the old folder went
  StateValues carried;
  const char* failedCall = "";
  DWORD error = 0;
};

// Makes `directory` (ending in "/") a folder that only trusted accounts own
// and may write, before anything opens a file in it. A folder that is a
// link, not a folder, or owned by another account is renamed aside to
// "<directory>.untrusted-<now>", created anew with the protected list and
// LocalSystem as owner, and the values of its state files are written into
// the new one; a folder whose only fault is its list gets the protected
// list. Logs nothing.
StateFolderOutcome SecureStateDirectory(const std::wstring& directory, int64_t now);

// SecureStateDirectory for a folder of the state folder that the service
// writes files into and runs or hands on files from (`folder`, no separator
// at the end): the same checks and repairs, and nothing carried over into a
// folder made anew.
StateFolderOutcome SecureStateSubfolder(const std::wstring& folder, int64_t now);

// The folder of staged installers (StagedFolderName) in that state folder.
std::wstring StagedFolderOf(const std::wstring& stateDirectory);

// The part of SecureStateDirectory after the decision: moves `directory`
// aside for `fault` and creates it anew with the values carried over.
StateFolderOutcome RecreateStateDirectory(const std::wstring& directory, StateFolderFault fault,
                                          int64_t now);

// The service's state folder as ServiceMain takes it, once, before anything
// opens a file there: named (GetStateDirectory) and then made safe
// (SecureStateDirectory). When it cannot be named, `directory` is empty and
// the outcome Failed with GetWindowsDirectoryW's error.
struct ServiceStateFolder {
  std::wstring directory;
  StateFolderOutcome outcome;
};
ServiceStateFolder SecureServiceStateDirectory(WindowsDirectoryQuery query = GetWindowsDirectoryW);

// What was wrong with the folder, for the log and the event log: "a link",
// "not a folder" or "owned by <SID>"; empty when nothing was.
std::string StateFolderFaultText(const StateFolderOutcome& outcome);

// Writes what `outcome` says was done to the service log.
void LogStateFolderOutcome(const StateFolderOutcome& outcome);
