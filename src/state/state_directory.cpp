#include "state/state_directory.h"

#include <algorithm>

#include "common/service_folder.h"
#include "common/staged_installers.h"
#include "common/text.h"
#include "common/windows_directory.h"
#include "fs/directory_security.h"
#include "fs/path_checks.h"
#include "log/service_log.h"

namespace {

// State files are a few bytes; anything larger is not one the service wrote.
constexpr ULONGLONG kMaxCarriedFileSize = 4096;

std::wstring WithoutTrailingSeparator(std::wstring path) {
  while (path.size() > 3 && (path.back() == L'/' || path.back() == L'\\')) path.pop_back();
  return path;
}

// Only plain, small files are read from a folder that is about to be
// replaced: a link there could point at any file on the machine.
bool MayCarryFrom(const std::filesystem::path& file) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) return false;
  if (IsReparsePointAttribute(data.dwFileAttributes)) return false;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  ULARGE_INTEGER size{};
  size.LowPart = data.nFileSizeLow;
  size.HighPart = data.nFileSizeHigh;
  return size.QuadPart <= kMaxCarriedFileSize;
}

StateFolderOutcome Failure(const char* call, DWORD error) {
  StateFolderOutcome outcome;
  outcome.action = StateFolderOutcome::Action::Failed;
  outcome.failedCall = call;
  outcome.error = error;
  return outcome;
}

std::string NumberOrNone(const std::optional<int32_t>& value) {
  return value ? std::to_string(*value) : "none";
}

}  // namespace

std::wstring StateDirectoryFor(const std::wstring& windowsDirectory) {
  return ServiceFolderFor<wchar_t>(windowsDirectory, L'/') + L'/';
}

std::wstring GetStateDirectory(WindowsDirectoryQuery query) {
  const std::wstring driveRoot = WindowsDriveRootFrom(query);
  return driveRoot.empty() ? std::wstring() : StateDirectoryFor(driveRoot);
}

std::string ServiceFolderFault(const std::wstring& folder) {
  const auto failed = [](const char* call, DWORD error) {
    return std::string(call) + " failed, GetLastError = " + std::to_string(static_cast<int>(error));
  };
  const DWORD attributes = GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "missing";
    return failed("GetFileAttributesW", error);
  }
  // A link anywhere on the way, not only at the folder itself.
  std::wstring finalPath;
  if (!LeadsToItself(folder, finalPath)) {
    return finalPath.empty() ? failed("GetFinalPathNameByHandleW", GetLastError())
                             : "a link to " + ToUtf8(finalPath);
  }
  std::wstring owner;
  bool readable = true;
  const bool ownerTrusted = !IsReparsePointAttribute(attributes) &&
                            (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                            HasTrustedOwner(folder, &owner, &readable);
  if (!readable) return failed("GetNamedSecurityInfoW", GetLastError());
  StateFolderOutcome outcome;
  outcome.fault = StateFolderFaultOf(attributes, ownerTrusted);
  outcome.owner = owner;
  if (outcome.fault != StateFolderFault::None) return StateFolderFaultText(outcome);
  const bool open = DirectoryGrantsOthersWrite(folder, &readable);
  if (!readable) return failed("GetNamedSecurityInfoW", GetLastError());
  return open ? "writable by others" : "";
}

std::string EnsureServiceFolder(const std::wstring& folder) {
  if (!CreateServiceOwnedDirectory(folder)) {
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) {
      return "CreateDirectoryW failed, GetLastError = " + std::to_string(static_cast<int>(error));
    }
  }
  return ServiceFolderFault(folder);
}

StateFolderFault StateFolderFaultOf(DWORD attributes, bool ownerTrusted) {
  if (IsReparsePointAttribute(attributes)) return StateFolderFault::ReparsePoint;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return StateFolderFault::NotAFolder;
  if (!ownerTrusted) return StateFolderFault::ForeignOwner;
  return StateFolderFault::None;
}

namespace {

// RecreateStateDirectory; the numbers of the state files are carried over
// only with `carry`.
StateFolderOutcome Recreate(const std::wstring& directory, StateFolderFault fault, int64_t now,
                            bool carry) {
  const std::wstring folder = WithoutTrailingSeparator(directory);
  // The numbers only: no file of the old folder is kept or copied.
  StateValues values = carry ? ReadStateValues(directory, MayCarryFrom) : StateValues{};
  const std::wstring aside = folder + L".untrusted-" + std::to_wstring(now);
  StateFolderOutcome outcome;
  // A junction or link is itself renamed, not what it points at.
  if (!MoveFileExW(folder.c_str(), aside.c_str(), 0)) {
    outcome = Failure("MoveFileExW", GetLastError());
  } else if (!CreateServiceOwnedDirectory(folder)) {
    outcome = Failure("CreateDirectoryW", GetLastError());
  }
  // A failure keeps the fault, which tells the administrator what to remove.
  outcome.fault = fault;
  if (outcome.action == StateFolderOutcome::Action::Failed) return outcome;
  WriteStateValues(directory, values);
  outcome.action = StateFolderOutcome::Action::Recreated;
  outcome.asidePath = aside;
  outcome.carried = std::move(values);
  return outcome;
}

StateFolderOutcome Secure(const std::wstring& directory, int64_t now, bool carry) {
  const std::wstring folder = WithoutTrailingSeparator(directory);
  StateFolderOutcome outcome;
  // A user who races the service (creating the folder again between its
  // steps) gets it checked again, a few times.
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      DWORD error = GetLastError();
      if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        return Failure("GetFileAttributesW", error);
      }
      if (CreateServiceOwnedDirectory(folder)) {
        outcome.action = StateFolderOutcome::Action::Created;
        return outcome;
      }
      error = GetLastError();
      if (error == ERROR_ALREADY_EXISTS) continue;
      return Failure("CreateDirectoryW", error);
    }
    std::wstring owner;
    bool ownerTrusted = true;
    if (!IsReparsePointAttribute(attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      // An owner that cannot be read is not trusted either.
      ownerTrusted = HasTrustedOwner(folder, &owner);
    }
    StateFolderFault fault = StateFolderFaultOf(attributes, ownerTrusted);
    if (fault == StateFolderFault::None) {
      // Today's repair for folders of earlier versions: their state stays.
      int result = ProtectExistingDirectory(folder);
      outcome.action = result > 0   ? StateFolderOutcome::Action::ListReplaced
                       : result < 0 ? StateFolderOutcome::Action::ListFailed
                                    : StateFolderOutcome::Action::Kept;
      outcome.error = result < 0 ? GetLastError() : 0;
      return outcome;
    }
    outcome = Recreate(directory, fault, now, carry);
    outcome.owner = owner;
    if (outcome.action != StateFolderOutcome::Action::Failed ||
        std::string(outcome.failedCall) != "CreateDirectoryW" ||
        outcome.error != ERROR_ALREADY_EXISTS) {
      return outcome;
    }
  }
  return outcome;
}

}  // namespace

StateFolderOutcome RecreateStateDirectory(const std::wstring& directory, StateFolderFault fault,
                                          int64_t now) {
  return Recreate(directory, fault, now, true);
}

StateFolderOutcome SecureStateDirectory(const std::wstring& directory, int64_t now) {
  return Secure(directory, now, true);
}

StateFolderOutcome SecureStateSubfolder(const std::wstring& folder, int64_t now) {
  return Secure(folder, now, false);
}

std::wstring NativeStateFolder(const std::wstring& stateDirectory) {
  std::wstring folder = WithoutTrailingSeparator(stateDirectory);
  std::replace(folder.begin(), folder.end(), L'/', L'\\');
  return folder;
}

std::wstring StagedFolderOf(const std::wstring& stateDirectory) {
  return NativeStateFolder(stateDirectory) + L"\\" + StagedFolderName;
}

ServiceStateFolder SecureServiceStateDirectory(WindowsDirectoryQuery query) {
  ServiceStateFolder state;
  state.directory = GetStateDirectory(query);
  if (state.directory.empty()) {
    state.outcome = Failure("GetWindowsDirectoryW", GetLastError());
  } else {
    state.outcome = SecureStateDirectory(state.directory, _time64(nullptr));
  }
  return state;
}

std::string StateFolderFaultText(const StateFolderOutcome& outcome) {
  switch (outcome.fault) {
    case StateFolderFault::ReparsePoint:
      return "a link";
    case StateFolderFault::NotAFolder:
      return "not a folder";
    case StateFolderFault::ForeignOwner:
      return "owned by " + ToUtf8(outcome.owner);
    case StateFolderFault::None:
      break;
  }
  return {};
}

void LogStateFolderOutcome(const StateFolderOutcome& outcome) {
  ServiceLog& log = ServiceLog::Instance();
  switch (outcome.action) {
    case StateFolderOutcome::Action::ListReplaced:
      log.Print("Replaced the access list of the state folder, which let users write to it");
      break;
    case StateFolderOutcome::Action::Recreated: {
      log.Print("The state folder was %s: moved it aside to %s and created it anew",
                StateFolderFaultText(outcome).c_str(), ToUtf8(outcome.asidePath).c_str());
      const StateValues& values = outcome.carried;
      log.Print("Carried over from the old state folder: rolls %s, roll %s, lastrev %s",
                values.rolls ? "10 values" : "none", NumberOrNone(values.roll).c_str(),
                NumberOrNone(values.lastRev).c_str());
      break;
    }
    case StateFolderOutcome::Action::ListFailed:
      log.Print("Failed to set the access list of the state folder, GetLastError = %d",
                static_cast<int>(outcome.error));
      break;
    case StateFolderOutcome::Action::Failed:  // the event log says why: no log opens
    case StateFolderOutcome::Action::Kept:
    case StateFolderOutcome::Action::Created:
      break;
  }
}
