#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// Blocking HTTP GETs over WinINet that always go to the server: the URL's
// cache entry is deleted first, the request forces a reload and writes
// nothing to the cache. A body counts only when exactly as many bytes arrived
// as the response's Content-Length announced; a response without that header
// fails. Apart from DownloadFileWithProgress, the status code is never looked
// at, so an error page with a length is returned like any document. Nothing
// is logged.

// The largest body DownloadToString accepts: a response announcing more
// fails at once, without its body being read.
inline constexpr uint32_t MaxDocumentSize = 16 * 1024 * 1024;

// Appends the body of `url` to `out` (expected empty). A body that starts
// with the UTF-16LE byte-order mark FF FE is replaced by its UTF-8 form up to
// the first zero code unit, followed by one zero byte. On false `out` is
// untouched when no length was received or the length is above
// MaxDocumentSize, and emptied when the transfer fell
// short of it.
bool DownloadToString(const std::string& url, std::string& out);

// DownloadToString without the conversion: `out` holds the bytes as served.
// With `only200`, a response with another status fails like a missing one.
bool DownloadRawToString(const std::string& url, std::string& out, bool only200 = false);

// How a document that may not exist came back.
enum class OptionalDocument { Received, Missing, Failed };

// DownloadRawToString with only200, telling a document that is not there
// (Missing: a 404, or the 403 that object stores answer for an object that
// does not exist) from every other failure (Failed).
OptionalDocument DownloadOptionalToString(const std::string& url, std::string& out);

// The conversion DownloadToString applies: a body that starts with FF FE is
// replaced by the UTF-8 form of the UTF-16LE text after the mark, up to its
// first zero code unit, zero byte included. Anything else is left as it is.
void ConvertUtf16Body(std::string& body);

// Writes the body of `url` to the file `path` (created or truncated). On
// false no partial download is left: a file that was created is deleted, and
// a file that could not be opened for writing is left as it was.
bool DownloadFile(const std::string& url, const std::wstring& path);

// Called after each chunk with the bytes received so far and the announced
// length.
using DownloadProgress = std::function<void(uint32_t received, uint32_t total)>;

// How long a download with progress may go without receiving a byte.
inline constexpr uint32_t DownloadStallLimitMs = 60000;

// How often a download given a run flag looks at it.
inline constexpr uint32_t DownloadStopPollMs = 200;

// Like DownloadFile, for programs that show what happens: only a 200 response counts, `progress`
// (may be empty) follows the transfer and, on false, `failure` says why in one line (the failing
// call and its error code, the status, the byte counts, or the stall). No partial file is left.
//
// A server that sends nothing for `stallLimitMs` (while connecting, before the headers or in the
// middle of the body) ends the download with false. The network side runs on a thread of its
// own, so a read that does not return (WinINet may ignore its receive timeout) cannot hold the
// caller: that thread is left behind and ends with its read, or with the process.
bool DownloadFileWithProgress(const std::string& url, const std::wstring& path,
                              const DownloadProgress& progress, std::string& failure,
                              uint32_t stallLimitMs = DownloadStallLimitMs);

// DownloadFileWithProgress into `file`, open for writing, from its current
// position. On false the caller decides what becomes of what was written.
// (A HANDLE, declared without <windows.h>.) With `running` given, the
// download ends with false, "stopped" as its failure, within
// DownloadStopPollMs of the flag being cleared; nothing is written to `file`
// after the return.
bool DownloadIntoFile(const std::string& url, void* file, const DownloadProgress& progress,
                      std::string& failure, uint32_t stallLimitMs = DownloadStallLimitMs,
                      const std::atomic<bool>* running = nullptr);
