#include "session/obs_markers.h"

#include <shlobj.h>
#include <windows.h>

#include "common/text.h"
#include "common/unique_handle.h"
#include "fs/path_checks.h"
#include "log/service_log.h"

namespace {

constexpr wchar_t kObsFolder[] = L"\\obs-studio";
constexpr wchar_t kSafeModeMarker[] = L"\\safe_mode";
constexpr wchar_t kSentinelFolder[] = L"\\.sentinel";

void LogLink(ServiceLog& log, const std::wstring& path, PathLink link) {
  log.Print("Not deleting OBS's crash markers through %s: %s", ToUtf8(path).c_str(),
            PathLinkText(link));
}

// After `path` was refused: logs the link that was the reason, if one was
// (a marker in use or missing is no news). Keeps the last error.
void LogIfLink(ServiceLog& log, const std::wstring& path) {
  const DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED) {
    const PathLink link = FindLink(path);
    if (link != PathLink::None && link != PathLink::Unknown) LogLink(log, path, link);
  }
  SetLastError(error);
}

// The folder at `path`, open for listing and not shared for deletion: while
// it is held it can be neither renamed nor replaced.
UniqueFileHandle HoldFolder(ServiceLog& log, const std::wstring& path) {
  UniqueFileHandle folder =
      OpenWithoutLinks(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS);
  if (!folder) LogIfLink(log, path);
  return folder;
}

bool DeleteMarker(ServiceLog& log, const std::wstring& path) {
  if (DeleteWithoutLinks(path)) return true;
  LogIfLink(log, path);
  return false;
}

}  // namespace

bool CurrentApplicationDataFolder(std::wstring& folder) {
  wchar_t buffer[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
    return false;
  }
  folder = buffer;
  return true;
}

bool ClearObsSafeMode(ServiceLog& log, const std::wstring& applicationData) {
  const std::wstring obsFolder = applicationData + kObsFolder;
  const UniqueFileHandle held = HoldFolder(log, obsFolder);
  return held && DeleteMarker(log, obsFolder + kSafeModeMarker);
}

bool ClearObsSentinels(ServiceLog& log, const std::wstring& applicationData) {
  const std::wstring obsFolder = applicationData + kObsFolder;
  const std::wstring sentinels = obsFolder + kSentinelFolder;
  const UniqueFileHandle heldObsFolder = HoldFolder(log, obsFolder);
  if (!heldObsFolder) return false;
  const UniqueFileHandle heldSentinels = HoldFolder(log, sentinels);
  if (!heldSentinels) return false;
  WIN32_FIND_DATAW entry{};
  UniqueFindHandle search(FindFirstFileW((sentinels + L"\\*").c_str(), &entry));
  if (!search) return false;
  do {
    const std::wstring file = sentinels + L"\\" + entry.cFileName;
    if (IsReparsePointAttribute(entry.dwFileAttributes)) {
      LogLink(log, file, PathLink::ReparsePoint);
      continue;
    }
    const bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!isFolder && entry.nFileSizeHigh == 0 && entry.nFileSizeLow == 0) DeleteMarker(log, file);
  } while (FindNextFileW(search.get(), &entry));
  return true;
}
