#include "session/obs_markers.h"

#include <shlobj.h>
#include <windows.h>

#include "common/unique_handle.h"

namespace {

constexpr wchar_t kSafeModeMarker[] = L"\\obs-studio\\safe_mode";
constexpr wchar_t kSentinelFolder[] = L"\\obs-studio\\.sentinel";

}  // namespace

bool CurrentApplicationDataFolder(std::wstring& folder) {
  wchar_t buffer[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
    return false;
  }
  folder = buffer;
  return true;
}

bool ClearObsSafeMode(const std::wstring& applicationData) {
  return DeleteFileW((applicationData + kSafeModeMarker).c_str()) != FALSE;
}

bool ClearObsSentinels(const std::wstring& applicationData) {
  const std::wstring sentinels = applicationData + kSentinelFolder;
  WIN32_FIND_DATAW entry{};
  UniqueFindHandle search(FindFirstFileW((sentinels + L"\\*").c_str(), &entry));
  if (!search) return false;
  do {
    bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!isFolder && entry.nFileSizeHigh == 0 && entry.nFileSizeLow == 0) {
      DeleteFileW((sentinels + L"\\" + entry.cFileName).c_str());
    }
  } while (FindNextFileW(search.get(), &entry));
  return true;
}
