#include "state/state_directory.h"

#include <windows.h>

#include <cstdlib>

#include "log/service_log.h"

std::wstring StateDirectoryFor(const std::wstring& windowsDirectory) {
  return windowsDirectory.substr(0, 3) + L"ProgramData/LumenfeldService/";
}

std::wstring GetStateDirectory() {
  wchar_t windowsDirectory[260];
  UINT length = GetWindowsDirectoryW(windowsDirectory, 260);
  if (length == 0) {
    ServiceLog::Instance().Print("Failed to retrieve Windows directory");
    std::exit(1);
  }
  return StateDirectoryFor(std::wstring(windowsDirectory, length < 260 ? length : 259));
}
