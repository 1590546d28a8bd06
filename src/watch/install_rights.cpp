#include "watch/install_rights.h"

#include <windows.h>

#include "common/text.h"
#include "fs/directory_security.h"
#include "log/service_log.h"

bool InstallsWithoutElevation(ServiceLog& log, const std::wstring& obsRoot) {
  const wchar_t* const folders[] = {L"", L"\\obs-plugins", L"\\obs-plugins\\64bit", L"\\core",
                                    L"\\core\\obs-browser"};
  bool othersMayChange = false;
  for (const wchar_t* folder : folders) {
    const std::wstring path = obsRoot + folder;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
        (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
      continue;
    }
    bool readable = false;
    if (!FolderLetsOthersChange(path, &readable)) continue;
    if (!readable) {
      log.Print("Reading the owner and access list of %s failed, GetLastError = %d",
                ToUtf8(path).c_str(), static_cast<int>(GetLastError()));
    }
    othersMayChange = true;
    break;
  }
  if (othersMayChange) {
    log.Print("The OBS folder %s can be changed by users: installing without elevation",
              ToUtf8(obsRoot).c_str());
  }
  return othersMayChange;
}
