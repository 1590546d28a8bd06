#include "log/service_log.h"

#include <windows.h>

#include <algorithm>
#include <ctime>
#include <string>

#include "common/directory_security.h"
#include "common/unique_handle.h"
#include "common/windows_directory.h"

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

bool WriteAll(HANDLE file, const char* data, size_t size) {
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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

// Appends without rewriting what is there. Only when the line would take the
// file past LogSizeLimit is the file cut back to its newest lines plus this
// one. A line that can be appended is never dropped because the cut failed:
// it is appended anyway (up to LogHardLimit) and the cut is tried again
// later.
void ServiceLog::AppendLine(const std::string& line) {
  auto openForAppend = [this] {
    return UniqueFileHandle(CreateFileA(LogPath.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, kShareAll,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  };
  UniqueFileHandle file = openForAppend();
  if (!file) return;  // held by someone who shares nothing: the line is dropped
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return;
  if (static_cast<uint64_t>(size.QuadPart) + line.size() > LogSizeLimit && TrimDue(line.size())) {
    file.reset();
    if (ReplaceWithTrimmed(line)) {
      trimDeferred = false;
      return;
    }
    trimDeferred = true;
    bytesSinceFailedTrim = 0;
    file = openForAppend();
    if (!file || !GetFileSizeEx(file.get(), &size)) return;
  }
  if (static_cast<uint64_t>(size.QuadPart) + line.size() > LogHardLimit) return;
  WriteAll(file.get(), line.data(), line.size());
}

bool ServiceLog::TrimDue(size_t lineSize) {
  if (!trimDeferred) return true;
  bytesSinceFailedTrim += lineSize;
  return bytesSinceFailedTrim >= LogTrimRetryBytes;
}

// Reads the newest whole lines of the file, about LogTrimTarget bytes.
bool ServiceLog::ReadTail(std::string& kept) {
  UniqueFileHandle file(CreateFileA(LogPath.c_str(), GENERIC_READ, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return false;
  uint64_t fileSize = static_cast<uint64_t>(size.QuadPart);
  uint64_t keep = fileSize > LogTrimTarget ? LogTrimTarget : fileSize;
  LARGE_INTEGER start{};
  start.QuadPart = static_cast<LONGLONG>(fileSize - keep);
  if (!SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) return false;
  kept.resize(static_cast<size_t>(keep));
  size_t filled = 0;
  while (filled < kept.size()) {
    DWORD read = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(kept.size() - filled, 1 << 20));
    if (!ReadFile(file.get(), &kept[filled], want, &read, nullptr)) return false;
    if (read == 0) break;
    filled += read;
  }
  kept.resize(filled);
  // Keep whole lines only, unless the whole file fits.
  if (start.QuadPart > 0) kept.erase(0, FirstLineStart(kept));
  return true;
}

// Replaces the file by its newest lines plus `line`: in one rename where
// possible, so there is never a moment without the old lines. The rename
// fails while any other program has the file open (a viewer, a backup tool)
// and the temporary file may be unwritable; the file is then rewritten in
// place, which needs only the same sharing as an append.
bool ServiceLog::ReplaceWithTrimmed(const std::string& line) {
  std::string kept;
  if (!ReadTail(kept)) return false;
  kept += line;

  std::string tempPath = LogPath + ".tmp";
  {
    UniqueFileHandle temp(CreateFileA(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    bool written = temp && WriteAll(temp.get(), kept.data(), kept.size());
    temp.reset();
    if (written && MoveFileExA(tempPath.c_str(), LogPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      return true;
    }
    DeleteFileA(tempPath.c_str());
  }

  // Cut first: where that is refused (a mapped view), nothing has changed.
  UniqueFileHandle file(CreateFileA(LogPath.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(kept.size());
  LARGE_INTEGER start{};
  return file && SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) &&
         SetEndOfFile(file.get()) && SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) &&
         WriteAll(file.get(), kept.data(), kept.size());
}
