#include "crash/crash_report_body.h"

#include <fstream>
#include <iterator>

namespace {

// Constants of the build that the crash-report endpoint groups reports by.
constexpr const char kRelease[] = "debug";
constexpr const char kGitRev[] = "debug";
constexpr const char kRevision[] = "debug";

std::string ReadRest(std::ifstream& in) {
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return ReadRest(in);
}

std::string ReadFileTail(const std::string& path, std::size_t limit) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::streamoff size = in.tellg();
  if (size < 0) return {};
  std::streamoff start =
      static_cast<std::size_t>(size) > limit ? size - static_cast<std::streamoff>(limit) : 0;
  in.seekg(start, std::ios::beg);
  if (!in) return {};
  return ReadRest(in);
}

std::string LastPathComponent(const std::string& path) {
  std::size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string BuildCrashReportBody(const std::vector<std::string>& attachmentPaths,
                                 const std::string& dumpPath) {
  const std::string boundaryLine = std::string("--") + ReportBoundary + "\r\n";

  std::string body = boundaryLine;
  body +=
      "Content-Disposition: form-data; name=\"upload_file_minidump\"; filename=\"mini.dmp\"\r\n"
      "Content-Type: application/octet-stream\r\n"
      "\r\n";
  body += ReadWholeFile(dumpPath);
  body += "\r\n";
  body += boundaryLine;

  for (std::size_t i = 0; i < attachmentPaths.size(); ++i) {
    const std::string& path = attachmentPaths[i];
    body += "Content-Disposition: form-data; name=\"log_file" + std::to_string(i) +
            "\"; filename=\"" + LastPathComponent(path) + "\"\r\n";
    body += "Content-Type: text/plain\r\n\r\n";
    body += ReadFileTail(path, AttachmentTailLimit);
    body += "\r\n";
    body += boundaryLine;
  }

  body += "Content-Disposition: form-data; name=\"sentry\"\r\n\r\n";
  body += std::string("{\"release\":\"") + kRelease + "\", \"tags\":{\"gitrev\":\"" + kGitRev +
          "\", \"revision\":\"" + kRevision + "\"}}\r\n";
  body += std::string("--") + ReportBoundary + "--\r\n";
  return body;
}
