#pragma once

#include <string>
#include <vector>

// Posts the dump at `dumpPath` with the files `attachments` (in order, each
// cut to its last AttachmentTailLimit bytes) to `url` as one
// multipart/form-data request, and returns once the request has ended. The
// outcome is not reported: a crash report is sent once and never retried.
// The connection attempt gives up after 10 seconds.
void UploadCrashReport(const std::vector<std::string>& attachments, const std::string& dumpPath,
                       const std::string& url);
