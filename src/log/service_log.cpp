#include "log/service_log.h"

#include <windows.h>

#include <ctime>
#include <string>

#include "common/windows_directory.h"
#include "fs/directory_security.h"

namespace {

// Where the production log lives, under the Windows directory's drive;
// empty when the Windows directory cannot be read.
std::string DefaultLogDirectory() {
  std::wstring root = WindowsDriveRoot();
  if (root.empty()) return {};
  char narrow[8] = {};
  int length = WideCharToMultiByte(CP_ACP, 0, root.data(), static_cast<int>(root.size()), narrow,
                                   sizeof narrow, nullptr, nullptr);
  if (length <= 0) return {};
  return LogDirectoryFor(std::string(narrow, static_cast<size_t>(length)));
}

using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);

OSVERSIONINFOW QueryWindowsVersion() {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);  // 276
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto rtlGetVersion = ntdll ? reinterpret_cast<RtlGetVersionFn>(
                                   reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                             : nullptr;
  if (!rtlGetVersion || rtlGetVersion(&version) != 0) {
    version.dwMajorVersion = version.dwMinorVersion = version.dwBuildNumber = 0;
  }
  return version;
}

}  // namespace

ServiceLog& ServiceLog::Instance() {
  static ServiceLog log(DefaultLogDirectory());
  return log;
}

ServiceLog::ServiceLog(const std::string& logDirectory) {
  if (logDirectory.empty()) return;
  LogPath = LogPathFor(logDirectory);
  // Normally the folder exists already; a failure shows as dropped lines.
  // A new folder gets the protected list at once: the service writes,
  // renames and trims files in it as LocalSystem.
  ProtectedDirectorySecurity security;
  CreateDirectoryA(logDirectory.c_str(), security.attributes());
  WriteBanner(logDirectory.substr(0, 3));
}

void ServiceLog::WriteBanner(const std::string& driveRoot) {
  Print("-- Service starting, UNIX timestamp %d", static_cast<int>(_time64(nullptr)));

  SYSTEM_INFO systemInfo{};
  GetSystemInfo(&systemInfo);
  OSVERSIONINFOW version = QueryWindowsVersion();
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;  // 64
  GlobalMemoryStatusEx(&memory);

  Print("Operating System: Windows %d.%d Build %d", static_cast<int>(version.dwMajorVersion),
        static_cast<int>(version.dwMinorVersion), static_cast<int>(version.dwBuildNumber));
  Print("Total Physical Memory: %llu bytes", static_cast<unsigned long long>(memory.ullTotalPhys));
  Print("Processor Architecture: %d", static_cast<int>(systemInfo.wProcessorArchitecture));
  Print("Number of Processors: %d", static_cast<int>(systemInfo.dwNumberOfProcessors));
  Print("Page Size: %d bytes", static_cast<int>(systemInfo.dwPageSize));

  std::wstring wideRoot(driveRoot.begin(), driveRoot.end());
  ULARGE_INTEGER freeToCaller{}, total{}, totalFree{};
  if (GetDiskFreeSpaceExW(wideRoot.c_str(), &freeToCaller, &total, &totalFree)) {
    Print("Free Space on '%s' drive is %llu bytes", driveRoot.c_str(),
          static_cast<unsigned long long>(totalFree.QuadPart));
  } else {
    Print("Failed to retrieve free space information for %s", driveRoot.c_str());
  }
}

void ServiceLog::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VPrint(format, args);
  va_end(args);
}

void ServiceLog::VPrint(const char* format, va_list args) noexcept {
  if (LogPath.empty()) return;
  DWORD lastError = GetLastError();
  try {
    std::string message = FormatLogMessage(format, args);
    int32_t clockMs = static_cast<int32_t>(clock());
    std::string line = FormatLogLine(GetCurrentProcessId(), clockMs, message);
    std::lock_guard<std::mutex> lock(mutex);
    AppendLine(line);
  } catch (...) {
    // The line is lost; the caller must not notice.
  }
  SetLastError(lastError);
}

// The path is kept in the ANSI code page, as the file calls of the A family
// read it.
void ServiceLog::AppendLine(const std::string& line) {
  int length =
      MultiByteToWideChar(CP_ACP, 0, LogPath.data(), static_cast<int>(LogPath.size()), nullptr, 0);
  if (length <= 0) return;
  std::wstring path(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, LogPath.data(), static_cast<int>(LogPath.size()), path.data(),
                      length);
  file.Append(path, line);
}
