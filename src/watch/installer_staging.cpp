#include "watch/installer_staging.h"

#include <windows.h>

#include <ctime>
#include <filesystem>
#include <optional>
#include <vector>

#include "common/hex_digits.h"
#include "common/request_url.h"
#include "common/staged_installers.h"
#include "common/text.h"
#include "common/unique_handle.h"
#include "fs/path_checks.h"
#include "log/service_log.h"
#include "net/held_installer.h"
#include "state/kept_releases.h"
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

// Leaves in `folder` only the installer of `sha256` (under `keptName`
// alone, when given) and the newest other one. A link is removed itself,
// never what it leads to; a folder that is not empty stays (nothing runs
// from it), and so does a file another program holds open.
void RemoveOtherEntries(ServiceLog& log, const StagingRequest& request, const std::wstring& sha256,
                        const std::wstring& keptName = {}) {
  const std::wstring& folder = request.stagedFolder;
  const std::vector<StagedEntry> entries = ListFolder(folder);
  KeptInstallers kept;
  if (!request.stateDirectory.empty()) {
    std::string problem;
    const std::optional<KeptReleases> releases =
        ReadKeptReleases(std::filesystem::path(request.stateDirectory), problem);
    kept.all = !releases;
    if (releases) {
      for (const std::string& hash : KeptInstallerSha256s(*releases)) {
        kept.sha256s.insert(FromUtf8(hash));
      }
    }
  }
  for (const std::wstring& name : StagedEntriesToRemove(entries, sha256, keptName, kept)) {
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

bool StagingFailed(ServiceLog& log, const std::string& why) {
  log.Print("Staging the installer failed: %s", why.c_str());
  return false;
}

enum class StagedAt {
  Ready,   // checked, at the path
  Held,    // another program holds the file of that name: it can be neither used nor replaced
  Failed,  // logged: the update does not go on
};

// Stages the installer at `path`: keeps the file there when its SHA-256,
// read through a handle that keeps writers out, is the expected one, and
// otherwise downloads it there afresh and checks it the same way.
StagedAt StageAt(ServiceLog& log, const StagingRequest& request, const std::wstring& path) {
  const std::string pathText = ToUtf8(path);
  HeldInstaller installer;
  if (installer.OpenExisting(path)) {
    if (SameSha256(request.sha256, installer.Sha256())) {
      log.Print("Using the installer staged earlier, %s", pathText.c_str());
      return StagedAt::Ready;
    }
    // Not what its name says (cut short by a crash, say): staged afresh.
    log.Print("The staged %s is not the installer it is named for, downloading it again",
              pathText.c_str());
    if (!installer.Delete()) {
      const DWORD error = GetLastError();
      log.Print("Could not remove %s, GetLastError = %d: staging under another name",
                pathText.c_str(), AsInt(error));
      return StagedAt::Held;
    }
  } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
    const DWORD error = GetLastError();
    // Held open by a program that shares no reading: gone only if it shares deleting.
    if (!DeleteWithoutLinks(path)) {
      log.Print(
          "The staged %s cannot be opened, GetLastError = %d, nor removed: staging under "
          "another name",
          pathText.c_str(), AsInt(error));
      return StagedAt::Held;
    }
  }

  log.Print("Staging the installer %s into %s", request.url.c_str(), pathText.c_str());
  if (!installer.Create(path)) {
    StagingFailed(log, CallFailed("CreateFileW", GetLastError()));
    return StagedAt::Failed;
  }
  std::string failure;
  if (!installer.Download(UrlForRequest(request.url), nullptr, failure, request.running)) {
    installer.Delete();
    const bool stopping = request.running != nullptr && !*request.running;
    StagingFailed(log, stopping ? "the service is stopping" : failure);
    return StagedAt::Failed;
  }
  if (!installer.HoldForRunning()) {
    failure = CallFailed("ReOpenFile", GetLastError());
    installer.Delete();
    StagingFailed(log, failure);
    return StagedAt::Failed;
  }
  const std::string actual = installer.Sha256();
  if (!SameSha256(request.sha256, actual)) {
    failure = actual.empty() ? CallFailed("Hashing the download", GetLastError())
                             : "its SHA-256 is " + actual + ", not the expected " + request.sha256;
    installer.Delete();
    StagingFailed(log, failure);
    return StagedAt::Failed;
  }
  log.Print("Staged the installer, %d bytes", static_cast<int>(installer.Size()));
  return StagedAt::Ready;
}

}  // namespace

bool StageInstaller(ServiceLog& log, const StagingRequest& request, std::wstring& stagedPath) {
  std::string failure;
  if (!PrepareFolder(log, request.stagedFolder, failure)) return StagingFailed(log, failure);
  const std::wstring sha256 = FromUtf8(request.sha256);
  RemoveOtherEntries(log, request, sha256);
  // Anyone may read a staged file, and so hold it open: that must not stop
  // every update. The next name is taken instead.
  for (const std::wstring& path : StagedInstallerPaths(request.stagedFolder, sha256)) {
    switch (StageAt(log, request, path)) {
      case StagedAt::Ready:
        RemoveOtherEntries(log, request, sha256, path.substr(request.stagedFolder.size() + 1));
        stagedPath = path;
        return true;
      case StagedAt::Failed:
        return false;
      case StagedAt::Held:
        break;
    }
  }
  log.Print(
      "Every name of the staged installer is held by another program: the downloader downloads "
      "it while OBS is stopped");
  stagedPath.clear();
  return true;
}

bool FindStagedInstaller(ServiceLog& log, const std::wstring& stagedFolder,
                         const std::string& sha256, std::wstring& stagedPath) {
  for (const std::wstring& path : StagedInstallerPaths(stagedFolder, FromUtf8(sha256))) {
    HeldInstaller installer;
    if (!installer.OpenExisting(path) || !SameSha256(sha256, installer.Sha256())) continue;
    log.Print("Using the installer staged earlier, %s", ToUtf8(path).c_str());
    stagedPath = path;
    return true;
  }
  return false;
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

void RemoveStagedInstallers(ServiceLog& log, const std::wstring& stagedFolder,
                            const std::vector<std::string>& sha256s) {
  for (const std::string& sha256 : sha256s) {
    for (const std::wstring& path : StagedInstallerPaths(stagedFolder, FromUtf8(sha256))) {
      if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        RemoveStagedInstaller(log, path);
      }
    }
  }
}
