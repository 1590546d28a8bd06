#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

// Appends lines to a log file that is never held open between lines, so
// other programs may read, rename or delete it at any time. Not safe for
// concurrent use: the owner serialises its calls.
class CappedLogFile {
 public:
  explicit CappedLogFile(const LogFileLimits& limits) : limits_(limits) {}

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

  LogFileLimits limits_;
  // Set while cutting back is failing.
  bool trimDeferred_ = false;
  uint64_t bytesSinceFailedTrim_ = 0;
};
