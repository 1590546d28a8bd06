#pragma once

#include <mutex>
#include <string>

#include "log/capped_log_file.h"
#include "log/log_line.h"

// The downloader's own log, "Lumenfeld\PluginDownloader.log" in the user's
// local application-data folder: one line per step, "[UTC time][pid] message",
// the file kept within PluginDownloaderLogLimit bytes by dropping its oldest
// lines (cut back to three quarters of it). Safe to use from several
// threads; never fails towards the caller (a line that cannot be written is
// lost). The downloader runs elevated in a folder the user controls, so the
// log refuses links (LogLinks::Refuse): a line that would reach another file
// is dropped.
inline constexpr size_t PluginDownloaderLogLimit = 1024 * 1024;

class DownloaderLog {
 public:
  DownloaderLog();
  DownloaderLog(const DownloaderLog&) = delete;
  DownloaderLog& operator=(const DownloaderLog&) = delete;

  void Print(const char* format, ...) LUMENFELD_PRINTF(2, 3);

 private:
  std::wstring path_;
  std::mutex mutex_;
  // Guarded by `mutex_`. The limit is never exceeded: while the file cannot
  // be cut back, new lines are dropped.
  CappedLogFile file_{{PluginDownloaderLogLimit, PluginDownloaderLogLimit * 3 / 4,
                       PluginDownloaderLogLimit, 64 * 1024},
                      LogLinks::Refuse};
};
