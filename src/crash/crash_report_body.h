#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The multipart boundary of every crash report. Never compared with the
// content: a part that happens to hold the boundary line is sent unchanged.
inline constexpr const char ReportBoundary[] = "BOUNDARY";
// An attachment longer than this is sent as its last AttachmentTailLimit bytes.
inline constexpr std::size_t AttachmentTailLimit = 2097152;

// The request body of a crash report: the file at `dumpPath` as the part
// "upload_file_minidump" (sent as mini.dmp), one part "log_file<i>" per entry
// of `attachmentPaths` named by the path's last component, and the closing
// "sentry" part with the release and tags. A file that cannot be read gives
// an empty part; nothing fails.
std::string BuildCrashReportBody(const std::vector<std::string>& attachmentPaths,
                                 const std::string& dumpPath);

// Every byte of the file, or "" when it cannot be opened.
std::string ReadWholeFile(const std::string& path);

// The file's last `limit` bytes, or all of it when it is not longer; "" when
// it cannot be opened.
std::string ReadFileTail(const std::string& path, std::size_t limit);

// The text after the last '\' or '/' of `path` (all of it when it has none).
std::string LastPathComponent(const std::string& path);
