#include "selfupdate/self_update.h"

#include <windows.h>

#include <ctime>
#include <utility>
#include <vector>

#include "common/command_line.h"
#include "common/hex_digits.h"
#include "common/service_version.h"
#include "common/unique_handle.h"
#include "fs/directory_security.h"
#include "fs/path_checks.h"
#include "log/service_log.h"
#include "net/held_installer.h"
#include "process/windows_functions.h"
#include "state/state_directory.h"
#include "state/worker_state.h"
#include "trust/cdn_documents.h"
#include "trust/cdn_paths.h"

namespace {

// The names in the folder that `folder` holds open, read through that handle
// (not through its path, which could lead elsewhere by now), without "."
// and "..".
std::vector<std::wstring> NamesIn(HANDLE folder) {
  std::vector<std::wstring> names;
  std::vector<LONGLONG> buffer(8192);  // 64 KiB, aligned for the entries
  const DWORD size = static_cast<DWORD>(buffer.size() * sizeof(LONGLONG));
  FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
  while (GetFileInformationByHandleEx(folder, kind, buffer.data(), size)) {
    kind = FileIdBothDirectoryInfo;
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    for (;;) {
      const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes);
      std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") names.push_back(std::move(name));
      if (info->NextEntryOffset == 0) break;
      bytes += info->NextEntryOffset;
    }
  }
  return names;
}

// Removes what is at `path` and, for a folder, everything below it, never
// following a link at any level, `path` itself included: a link (any
// reparse point) is deleted itself, and one that cannot be told from what
// it leads to is left alone with it. Each folder is held open, not shared
// for deletion, while it is emptied, so that it cannot be swapped for a
// link meanwhile, and is deleted through that handle. Read-only files are
// made writable first. Failures are left to the caller, whose fresh
// CreateDirectory then fails.
void RemoveFolderTree(const std::wstring& path) {
  UniqueFileHandle entry(CreateFileW(
      path.c_str(), DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!entry) return;
  const PathLink link = LinkOf(path, entry.get());
  if (link == PathLink::LeadsElsewhere || link == PathLink::Unknown) return;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(entry.get(), &info)) return;
  const DWORD attributes = info.dwFileAttributes;
  if (link == PathLink::None && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    for (const std::wstring& name : NamesIn(entry.get())) RemoveFolderTree(path + L"\\" + name);
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    FILE_BASIC_INFO basic{};  // zero times: left as they are
    basic.FileAttributes = attributes & ~DWORD{FILE_ATTRIBUTE_READONLY};
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(entry.get(), FileBasicInfo, &basic, sizeof basic);
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition, sizeof disposition);
}

// The Update folder of the state folder, made afresh every time, so it is
// certainly ours and carries our list whatever was there before (anything
// left inside goes with it); empty with the last error set when it cannot
// be made.
std::wstring PrepareUpdateFolder(WorkerState* worker) {
  const std::wstring folder =
      NativeStateFolder(worker->GetStateDirectory()) + L"\\" + InstallerFolderName;
  RemoveFolderTree(folder);
  if (!CreateProtectedDirectory(folder)) return {};
  return folder;
}

// The folder (ending in "\") the installer is downloaded into, or empty with
// the last error set: the one GetTempPath2W gives LocalSystem where the
// system has it, else `updateFolder`. The shared temporary folder that
// GetTempPathW gives LocalSystem lets any user create a file there first
// and keep the right to change it; neither folder chosen here does.
std::wstring InstallerFolder(const std::wstring& updateFolder, GetTempPath2WFunction getTempPath2) {
  if (getTempPath2 == nullptr) return updateFolder + L"\\";
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = getTempPath2(MAX_PATH + 1, buffer);
  if (length > MAX_PATH) SetLastError(ERROR_INSUFFICIENT_BUFFER);
  if (length == 0 || length > MAX_PATH) return {};
  return std::wstring(buffer, length);
}

void LogLastError(const char* format) {
  DWORD error = GetLastError();
  ServiceLog::Instance().Print(format, static_cast<int>(error));
}

// Downloads the service update document and reads it into `meta`, which
// holds its initial values. Logs why and returns false when the document
// cannot be downloaded, is not JSON or cannot be used (see ReadUpdaterMeta).
bool FetchUpdaterMeta(CdnDocuments& cdn, UpdaterMeta& meta) {
  ServiceLog& log = ServiceLog::Instance();
  UpdaterMetaResult result = UpdaterMetaResult::NotJson;
  // What the release key signed must also pin the installer it names.
  const auto check = [&](const std::string& body) {
    result = ReadUpdaterMeta(body, meta);
    return result == UpdaterMetaResult::Read && cdn.checked() && meta.sha256.empty()
               ? SignatureFailure::NoInstallerHash
               : SignatureFailure::None;
  };
  std::string body;
  if (!cdn.Fetch(UpdaterMetaPath, body, check)) return false;
  switch (result) {
    case UpdaterMetaResult::Read:
      return true;
    case UpdaterMetaResult::NotJson:
      log.Print("Failed to parse updater_meta.json %s", body.c_str());
      return false;
    case UpdaterMetaResult::Unusable:
      break;
  }
  log.Print("json exception while trying to use updater_meta.json %s", body.c_str());
  return false;
}

}  // namespace

void CheckForServiceUpdate(WorkerState* worker) {
  CdnDocuments cdn(*worker);
  CheckForServiceUpdate(worker, cdn);
}

void CheckForServiceUpdate(WorkerState* worker, CdnDocuments& cdn) {
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  auto getTempPath2 = kernel32 ? reinterpret_cast<GetTempPath2WFunction>(reinterpret_cast<void*>(
                                     GetProcAddress(kernel32, "GetTempPath2W")))
                               : nullptr;
  CheckForServiceUpdate(worker, cdn, getTempPath2);
}

void CheckForServiceUpdate(WorkerState* worker, CdnDocuments& cdn,
                           GetTempPath2WFunction getTempPath2) {
  ServiceLog& log = ServiceLog::Instance();
  log.Print("Checking for new version of updater.");
  worker->lastUpdateCheck = static_cast<int64_t>(std::time(nullptr));

  UpdaterMeta meta;
  if (!FetchUpdaterMeta(cdn, meta)) return;
  log.Print("Latest version is %d, mine is %d. URL to latest is %s", static_cast<int>(meta.rev),
            static_cast<int>(ServiceVersion), meta.url.c_str());
  if (!IsUpdateFor(meta, ServiceVersion)) return;

  std::wstring ownPath;
  if (!WindowsFunctions::GetProcessFilePath(GetCurrentProcessId(), ownPath)) {
    LogLastError(
        "Error forming temp path for self update, WindowsFunctions::GetProcessFilePath "
        "GetLastError = %d");
    return;
  }
  const std::wstring updateFolder = PrepareUpdateFolder(worker);
  std::wstring installerPath =
      updateFolder.empty() ? std::wstring() : InstallerFolder(updateFolder, getTempPath2);
  if (installerPath.empty()) {
    LogLastError(
        "Error forming temp path for self update, ::GetTempPathA problem GetLastError = %d");
    return;
  }
  installerPath += TempInstallerName;

  // Nothing of a file left from an earlier check may be run by mistake; a
  // file that cannot go makes the creation below fail.
  DeleteWithoutLinks(installerPath);
  HeldInstaller installer;
  std::string failure;
  // A service stop ends the download within a second, as it ends a staging.
  if (!installer.Create(installerPath) ||
      !installer.Download(meta.url, nullptr, failure, &worker->running)) {
    const bool stopping = !worker->running;
    log.Print(stopping ? "Self update download stopped: the service is stopping"
                       : "Error downloading self update DownloadFile");
    installer.Delete();
    return;
  }
  if (!installer.HoldForRunning()) {
    LogLastError("Error opening the downloaded self update, CreateFileW GetLastError = %d");
    return;
  }
  if (!meta.sha256.empty()) {
    const std::string actual = installer.Sha256();
    if (actual.empty()) {
      LogLastError("Error hashing the downloaded self update, GetLastError = %d");
      installer.Delete();
      return;
    }
    if (!SameSha256(meta.sha256, actual)) {
      log.Print("Self update rejected: expected SHA-256 %s, actual SHA-256 %s", meta.sha256.c_str(),
                actual.c_str());
      installer.Delete();
      return;
    }
  }

  // Not waited for: the installer stops this service and starts the new one.
  // It runs as LocalSystem, and NSIS unpacks the DLLs it then loads into its
  // temporary folder, where in the system's shared one any user may have
  // put a file of that name first: TEMP and TMP are the update folder.
  UniqueKernelHandle process;
  if (!installer.Start(SilentInstallCommandLine(installerPath, ParentFolder(ownPath)), process,
                       {{L"TEMP", updateFolder}, {L"TMP", updateFolder}})) {
    log.Print("Failed to start installer process");
  }
}
