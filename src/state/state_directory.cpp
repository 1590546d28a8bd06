#include "state/state_directory.h"

#include <cstdlib>

#include "common/windows_directory.h"
#include "log/service_log.h"

std::wstring StateDirectoryFor(const std::wstring& windowsDirectory) {
  return windowsDirectory.substr(0, 3) + L"ProgramData/LumenfeldService/";
}

std::wstring GetStateDirectory() {
  std::wstring driveRoot = WindowsDriveRoot();
  if (driveRoot.empty()) {
    ServiceLog::Instance().Print("Failed to retrieve Windows directory");
    std::exit(1);
  }
  return StateDirectoryFor(driveRoot);
}
