#pragma once

#include <cstdarg>
#include <mutex>
#include <string>

#include "log/capped_log_file.h"
#include "log/log_line.h"

// The service's one log: service.log in the service's folder under
// ProgramData. Each Print appends one line "[pid][clock] message"; the file
// keeps its newest lines within LogSizeLimit and is never held open between
// lines, so other programs may read, rename or delete it at any time. While
// another program holds it so that it cannot be cut back, lines are still
// appended, up to LogHardLimit.
class ServiceLog {
 public:
  // The process-wide log, created (with its folder and start-up banner) on
  // first use. Disabled for the life of the process when the Windows
  // directory cannot be read.
  static ServiceLog& Instance();

  // A log in `logDirectory`, which is created if missing (one level only);
  // writes the banner. An empty `logDirectory` gives a disabled log that
  // creates nothing and ignores every Print.
  explicit ServiceLog(const std::string& logDirectory);
  ServiceLog(const ServiceLog&) = delete;
  ServiceLog& operator=(const ServiceLog&) = delete;

  // Appends one line. Never throws and never reports a failure: a line that
  // cannot be written is dropped. The calling thread's last-error code is
  // the same afterwards.
  void Print(const char* format, ...) LUMENFELD_PRINTF(2, 3);
  void VPrint(const char* format, va_list args) noexcept;

 private:
  void WriteBanner(const std::string& driveRoot);
  void AppendLine(const std::string& line);

  std::mutex mutex;
  // Guarded by `mutex`.
  CappedLogFile file{{LogSizeLimit, LogTrimTarget, LogHardLimit, LogTrimRetryBytes}};

 public:
  // Full path of the log file; empty when the log is disabled.
  std::string LogPath;
};
