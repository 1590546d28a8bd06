#pragma once

#include <mutex>
#include <string>

#include "log/log_line.h"

// The downloader's own log, "Lumenfeld\PluginDownloader.log" in the user's
// local application-data folder: one line per step, "[UTC time][pid] message",
// the file kept within PluginDownloaderLogLimit bytes by dropping its oldest
// lines. Safe to use from several threads; never fails towards the caller
// (a line that cannot be written is lost).
inline constexpr size_t PluginDownloaderLogLimit = 1024 * 1024;

class DownloaderLog {
 public:
  DownloaderLog();
  DownloaderLog(const DownloaderLog&) = delete;
  DownloaderLog& operator=(const DownloaderLog&) = delete;

  void Print(const char* format, ...) LUMENFELD_PRINTF(2, 3);

  // Empty when the folder could not be found.
  const std::wstring& path() const { return path_; }

 private:
  void Append(const std::string& line);

  std::wstring path_;
  std::mutex mutex_;
};
