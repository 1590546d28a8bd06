#include "tools/downloader/downloader_log.h"

#include <shlobj.h>
#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "common/unique_handle.h"
#include "tools/downloader/downloader_text.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool WriteAll(HANDLE file, const std::string_view bytes) {
  DWORD written = 0;
  return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size();
}

std::string ReadAll(HANDLE file) {
  std::string text;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
    text.append(buffer, read);
  return text;
}

}  // namespace

DownloaderLog::DownloaderLog() {
  wchar_t folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) {
    return;
  }
  std::wstring lumenfeld = std::wstring(folder) + L"\\Lumenfeld";
  CreateDirectoryW(lumenfeld.c_str(), nullptr);  // usually there already
  path_ = lumenfeld + L"\\PluginDownloader.log";
}

void DownloaderLog::Print(const char* format, ...) {
  if (path_.empty()) return;
  DWORD lastError = GetLastError();
  char prefix[64];
  va_list args;
  va_start(args, format);
  std::string text = FormatLogMessage(format, args);
  va_end(args);
  SYSTEMTIME now{};
  GetSystemTime(&now);
  std::snprintf(prefix, sizeof prefix, "[%04u-%02u-%02u %02u:%02u:%02u][%lu] ", now.wYear,
                now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                static_cast<unsigned long>(GetCurrentProcessId()));
  std::string line = prefix + text + "\n";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Append(line);
  }
  SetLastError(lastError);
}

// Appends in place while the file stays within the limit; past it, the file
// is replaced in one rename by its newest lines and this one, cut to three
// quarters of the limit so that the next lines append in place again.
void DownloaderLog::Append(const std::string& line) {
  {
    UniqueFileHandle file(CreateFileW(path_.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, kShareAll,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return;
    if (static_cast<uint64_t>(size.QuadPart) + line.size() <= PluginDownloaderLogLimit) {
      WriteAll(file.get(), line);
      return;
    }
  }
  std::string text;
  {
    UniqueFileHandle file(CreateFileW(path_.c_str(), GENERIC_READ, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    text = ReadAll(file.get());
  }
  std::string kept(NewestLinesWithin(text, line.size(), PluginDownloaderLogLimit * 3 / 4));
  kept += line;
  std::wstring temp = path_ + L".tmp";
  {
    UniqueFileHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    if (!WriteAll(file.get(), kept)) {
      file.reset();
      DeleteFileW(temp.c_str());
      return;
    }
  }
  if (!MoveFileExW(temp.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING))
    DeleteFileW(temp.c_str());
}
