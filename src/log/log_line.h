#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The pieces of the service log that need no operating system: message
// formatting, the line prefix, the file's paths and how far to trim it.

inline constexpr size_t LogFormatBufferSize = 10240;  // message cut at 10239 bytes
inline constexpr int64_t LogClockOffset = 100000000000;
inline constexpr uint64_t LogSizeLimit = 10485760;  // 10 MiB
// Once a line would take the file past LogSizeLimit, the file is cut back to
// roughly its newest LogTrimTarget bytes, at a line boundary.
inline constexpr uint64_t LogTrimTarget = 9 * 1024 * 1024;
// When the file cannot be cut back (another program holds it in a way that
// blocks both the rename and the rewrite), lines are still appended up to
// this bound; beyond it they are dropped rather than fill the disk.
inline constexpr uint64_t LogHardLimit = LogSizeLimit + 1024 * 1024;
// After a failed trim, the next attempt waits until lines of this many bytes
// have been offered, so a held file does not cost a full copy per line.
inline constexpr uint64_t LogTrimRetryBytes = 256 * 1024;

#if defined(__GNUC__) || defined(__clang__)
#define LUMENFELD_PRINTF(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define LUMENFELD_PRINTF(format_index, first_arg)
#endif

// Formats like vsnprintf into a LogFormatBufferSize buffer: output beyond
// LogFormatBufferSize - 1 bytes is dropped. Never fails; a format error
// gives an empty message.
std::string FormatLogMessage(const char* format, va_list args);

// "[" pid "][" LogClockOffset + clockMs "] " message "\n".
std::string FormatLogLine(uint32_t processId, int32_t clockMs, std::string_view message);

// The service's folder (common/service_folder.h) with "\" between its
// parts, e.g. "C:\ProgramData\LumenfeldService" for "C:\windows".
std::string LogDirectoryFor(std::string_view windowsDirectory);
std::string LogPathFor(std::string_view logDirectory);

// Given the tail of the log that is to be kept, returns the offset of the
// first complete line in it (just past the first LF). Returns 0 when the
// tail holds no LF, so a file without line ends is cut at the byte.
size_t FirstLineStart(std::string_view tail);
