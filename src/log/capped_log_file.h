#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/unique_handle.h"

// How a log file is kept within its size.
struct LogFileLimits {
  // A line that would take the file past this cuts it back first...
  uint64_t sizeLimit = 0;
  // ...to roughly its newest this many bytes, at a line boundary.
  uint64_t trimTarget = 0;
  // While the file cannot be cut back, lines are still appended up to this
  // bound and dropped beyond it.
  uint64_t hardLimit = 0;
  // After a failed cut, the next one waits until lines of this many bytes
  // have been offered, so a held file does not cost a full copy per line.
  uint64_t trimRetryBytes = 0;
};

// Whether the log may be reached through links. A log in a folder a
// standard user controls, written by an elevated program, refuses them: a
// link or hard link planted there would turn the append, the cut and the
// rename into writes (and reads) of any file. The folder is then held open
// against renaming while a line is written, and every file is opened
// without following a link and checked on its handle (fs/path_checks.h);
// a line that meets a link is dropped.
enum class LogLinks { Follow, Refuse };

// Appends lines to a log file that is never held open between lines, so
// other programs may read, rename or delete it at any time. Not safe for
// concurrent use: the owner serialises its calls.
class CappedLogFile {
 public:
  explicit CappedLogFile(const LogFileLimits& limits, LogLinks links = LogLinks::Follow)
      : limits_(limits), links_(links) {}

  // Appends `line` to the file at `path` (created if missing) without
  // rewriting what is there. Only when the line would take the file past
  // sizeLimit is the file cut back to its newest lines plus this one: in one
  // rename where possible, otherwise rewritten in place. A line that can be
  // appended is never dropped because the cut failed: it is appended anyway
  // (up to hardLimit) and the cut is tried again later. A line that cannot
  // be written is dropped; nothing is reported.
  void Append(const std::wstring& path, const std::string& line);

 private:
  bool TrimDue(size_t lineSize);
  bool ReplaceWithTrimmed(const std::wstring& path, const std::string& line);
  bool ReadTail(const std::wstring& path, std::string& kept);
  void AppendInFolder(const std::wstring& path, const std::string& line);
  UniqueFileHandle Open(const std::wstring& path, DWORD access, DWORD share,
                        DWORD disposition) const;

  LogFileLimits limits_;
  LogLinks links_;
  // Set while cutting back is failing.
  bool trimDeferred_ = false;
  uint64_t bytesSinceFailedTrim_ = 0;
};
