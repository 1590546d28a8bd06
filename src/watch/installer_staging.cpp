#include "watch/installer_staging.h"

#include <windows.h>

#include <ctime>
#include <vector>

#include "common/hex_digits.h"
#include "common/request_url.h"
#include "common/staged_installers.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "fs/path_checks.h"
#include "log/service_log.h"
#include "net/held_installer.h"
#include "state/state_directory.h"

namespace {

int AsInt(DWORD value) { return static_cast<int>(value); }

std::string CallFailed(const std::string& call, DWORD error) {
  return call + " failed, GetLastError = " + std::to_string(AsInt(error));
}

int64_t Ticks(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) |
                              time.dwLowDateTime);
}

std::vector<StagedEntry> ListFolder(const std::wstring& folder) {
  std::vector<StagedEntry> entries;
  WIN32_FIND_DATAW found{};
  UniqueFindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (!search) return entries;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const DWORD attributes = found.dwFileAttributes;
    entries.push_back(
        {name, !(attributes & FILE_ATTRIBUTE_DIRECTORY) && !IsReparsePointAttribute(attributes),
         Ticks(found.ftLastWriteTime)});
  } while (FindNextFileW(search.get(), &found));
  return entries;
}

// Leaves in `folder` only the installer named `keep` and the newest other
// one. A link is removed itself, never what it leads to; a folder that is
// not empty stays (nothing runs from it).
void RemoveOtherEntries(ServiceLog& log, const std::wstring& folder, const std::wstring& keep) {
  const std::vector<StagedEntry> entries = ListFolder(folder);
  for (const std::wstring& name : StagedEntriesToRemove(entries, keep)) {
    const std::wstring path = folder + L"\\" + name;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const bool removed =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
            ? RemoveDirectoryW(path.c_str()) != FALSE
            : DeleteFileW(path.c_str()) != FALSE;
    const DWORD error = GetLastError();
    if (removed) {
      log.Print("Removed %s from the staged installers", ToUtf8(name).c_str());
    } else {
      log.Print("Could not remove %s from the staged installers, GetLastError = %d",
                ToUtf8(name).c_str(), AsInt(error));
    }
  }
}

// The staged folder as the state folder's other protected folders are: a
// failure says why, for the staging's failure line.
bool PrepareFolder(ServiceLog& log, const std::wstring& folder, std::string& failure) {
  const StateFolderOutcome outcome = SecureStateSubfolder(folder, _time64(nullptr));
  switch (outcome.action) {
    case StateFolderOutcome::Action::Failed:
      failure = "the folder " + ToUtf8(folder) + " cannot be used, " +
                CallFailed(outcome.failedCall, outcome.error);
      return false;
    case StateFolderOutcome::Action::ListFailed:
      failure = "the folder " + ToUtf8(folder) + " lets users write and its list cannot be set, " +
                CallFailed("SetNamedSecurityInfoW", outcome.error);
      return false;
    case StateFolderOutcome::Action::Recreated:
      log.Print("The staged folder was %s: moved it aside to %s and created it anew",
                StateFolderFaultText(outcome).c_str(), ToUtf8(outcome.asidePath).c_str());
      return true;
    case StateFolderOutcome::Action::ListReplaced:
      log.Print("Replaced the access list of the staged folder, which let users write to it");
      return true;
    case StateFolderOutcome::Action::Kept:
    case StateFolderOutcome::Action::Created:
      break;
  }
  return true;
}

}  // namespace

bool StageInstaller(ServiceLog& log, const StagingRequest& request, std::wstring& stagedPath) {
  const auto fail = [&](const std::string& why) {
    log.Print("Staging the installer failed: %s", why.c_str());
    return false;
  };
  std::string failure;
  if (!PrepareFolder(log, request.stagedFolder, failure)) return fail(failure);
  const std::wstring name = StagedInstallerFileName(FromUtf8(request.sha256));
  RemoveOtherEntries(log, request.stagedFolder, name);
  const std::wstring path = request.stagedFolder + L"\\" + name;
  const std::string pathText = ToUtf8(path);

  HeldInstaller installer;
  if (installer.OpenExisting(path)) {
    if (SameSha256(request.sha256, installer.Sha256())) {
      log.Print("Using the installer staged earlier, %s", pathText.c_str());
      stagedPath = path;
      return true;
    }
    // Not what its name says (cut short by a crash, say): staged afresh.
    log.Print("The staged %s is not the installer it is named for, downloading it again",
              pathText.c_str());
    if (!installer.Delete()) {
      const DWORD error = GetLastError();
      return fail(CallFailed("Deleting " + pathText, error));
    }
  }

  log.Print("Staging the installer %s into %s", request.url.c_str(), pathText.c_str());
  if (!installer.Create(path)) return fail(CallFailed("CreateFileW", GetLastError()));
  if (!installer.Download(UrlForRequest(request.url), nullptr, failure, request.running)) {
    installer.Delete();
    const bool stopping = request.running != nullptr && !*request.running;
    return fail(stopping ? "the service is stopping" : failure);
  }
  if (!installer.HoldForRunning()) {
    failure = CallFailed("ReOpenFile", GetLastError());
    installer.Delete();
    return fail(failure);
  }
  const std::string actual = installer.Sha256();
  if (!SameSha256(request.sha256, actual)) {
    failure = actual.empty() ? CallFailed("Hashing the download", GetLastError())
                             : "its SHA-256 is " + actual + ", not the expected " + request.sha256;
    installer.Delete();
    return fail(failure);
  }
  log.Print("Staged the installer, %d bytes", static_cast<int>(installer.Size()));
  stagedPath = path;
  return true;
}

bool FindStagedInstaller(ServiceLog& log, const std::wstring& stagedFolder,
                         const std::string& sha256, std::wstring& stagedPath) {
  const std::wstring path = stagedFolder + L"\\" + StagedInstallerFileName(FromUtf8(sha256));
  HeldInstaller installer;
  if (!installer.OpenExisting(path) || !SameSha256(sha256, installer.Sha256())) return false;
  log.Print("Using the installer staged earlier, %s", ToUtf8(path).c_str());
  stagedPath = path;
  return true;
}

void RemoveStagedInstaller(ServiceLog& log, const std::wstring& path) {
  const bool removed = DeleteWithoutLinks(path);
  const DWORD error = GetLastError();
  if (removed) {
    log.Print("Removed the installed %s from the staged installers", ToUtf8(path).c_str());
  } else {
    log.Print("Could not remove the installed %s, GetLastError = %d", ToUtf8(path).c_str(),
              AsInt(error));
  }
}
