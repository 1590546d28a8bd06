#include "session/obs_markers.h"

#include <shlobj.h>
#include <windows.h>

#include <string>

#include "common/unique_handle.h"

namespace {

constexpr char kSafeModeMarker[] = "\\obs-studio\\safe_mode";
constexpr char kSentinelFolder[] = "\\obs-studio\\.sentinel";

// The current thread's token decides whose folder this is.
bool ApplicationDataFolder(std::string& folder) {
  char buffer[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
    return false;
  }
  folder = buffer;
  return true;
}

}  // namespace

bool ClearObsSafeMode() {
  std::string folder;
  if (!ApplicationDataFolder(folder)) return false;
  return DeleteFileA((folder + kSafeModeMarker).c_str()) != FALSE;
}

bool ClearObsSentinels() {
  std::string folder;
  if (!ApplicationDataFolder(folder)) return false;
  const std::string sentinels = folder + kSentinelFolder;
  WIN32_FIND_DATAA entry{};
  UniqueFindHandle search(FindFirstFileA((sentinels + "\\*").c_str(), &entry));
  if (!search) return false;
  do {
    bool isFolder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!isFolder && entry.nFileSizeHigh == 0 && entry.nFileSizeLow == 0) {
      DeleteFileA((sentinels + "\\" + entry.cFileName).c_str());
    }
  } while (FindNextFileA(search.get(), &entry));
  return true;
}
