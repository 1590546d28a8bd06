#include "state/state_directory.h"

#include <cstdlib>

#include "common/directory_security.h"
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

void ProtectStateDirectory() {
  int result = ProtectExistingDirectory(GetStateDirectory());
  if (result > 0) {
    ServiceLog::Instance().Print(
        "Replaced the access list of the state folder, which let users write to it");
  } else if (result < 0) {
    ServiceLog::Instance().Print(
        "Failed to set the access list of the state folder, GetLastError = %d",
        static_cast<int>(GetLastError()));
  }
}
