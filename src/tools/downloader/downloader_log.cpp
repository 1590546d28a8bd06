#include "tools/downloader/downloader_log.h"

#include <shlobj.h>
#include <windows.h>

#include <cstdarg>
#include <cstdio>

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
    file_.Append(path_, line);
  }
  SetLastError(lastError);
}
